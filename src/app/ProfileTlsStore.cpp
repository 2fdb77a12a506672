#include "app/ProfileTlsStore.h"

#include "app/OwnerOnlyFile.h"

namespace zephra::app {

namespace {

const QString kWhat = QStringLiteral("the TLS choices of the saved connections");

QByteArray encodeName(const QString& name)
{
    QByteArray out;
    for (char c : name.toUtf8()) {
        if (c == '%' || c == '\r' || c == '\n')
            out += '%' + QByteArray(1, c).toHex().toUpper();
        else
            out += c;
    }
    return out;
}

QString decodeName(const QByteArray& bytes) { return QString::fromUtf8(QByteArray::fromPercentEncoding(bytes)); }

}  // namespace

QString ProfileTlsStore::modeWord(ftp::TlsMode mode)
{
    switch (mode) {
    case ftp::TlsMode::Require:
        return QStringLiteral("require");
    case ftp::TlsMode::IfOffered:
        return QStringLiteral("if-offered");
    case ftp::TlsMode::Plain:
        return QStringLiteral("plain");
    }
    return QStringLiteral("require");
}

ftp::TlsMode ProfileTlsStore::modeFromWord(QStringView word)
{
    if (word == u"plain")
        return ftp::TlsMode::Plain;
    if (word == u"if-offered")
        return ftp::TlsMode::IfOffered;
    // "require", and anything a damaged or newer file holds: a choice that cannot be read must
    // never turn into a weaker one than the user made.
    return ftp::TlsMode::Require;
}

ProfileTlsStore::Entries ProfileTlsStore::read() const
{
    Entries entries;
    const WholeFile file = readWholeFile(path());
    entries.error = file.error;
    for (const QByteArray& raw : file.bytes.split('\n')) {
        const QByteArray line = raw.endsWith('\r') ? raw.chopped(1) : raw;
        if (line.isEmpty() || line.startsWith('#'))
            continue;
        const qsizetype space = line.indexOf(' ');
        if (space <= 0)
            continue;
        entries.modes.insert(decodeName(line.mid(space + 1)),
                             modeFromWord(QString::fromLatin1(line.left(space))));
    }
    return entries;
}

keys::StoreStatus ProfileTlsStore::write(const QMap<QString, ftp::TlsMode>& modes) const
{
    QByteArray bytes = "# ZephraFTP: the TLS choice of each saved connection (require, if-offered, plain)\n";
    for (auto it = modes.cbegin(); it != modes.cend(); ++it)
        bytes += modeWord(it.value()).toLatin1() + ' ' + encodeName(it.key()) + '\n';
    return writeOwnerOnly(path(), bytes, kWhat);
}

ProfileTlsStore::Choice ProfileTlsStore::choice(const QString& name) const
{
    const Entries entries = read();
    return {entries.modes.value(name, kDefault), entries.error};
}

keys::StoreStatus ProfileTlsStore::setChoice(const QString& name, ftp::TlsMode mode) const
{
    Entries entries = read();
    if (!entries.error.isEmpty())
        return keys::StoreStatus::failure(entries.error);  // never written over what was not read
    if (entries.modes.value(name, ftp::TlsMode(-1)) == mode)
        return keys::StoreStatus::success();
    entries.modes.insert(name, mode);
    return write(entries.modes);
}

keys::StoreStatus ProfileTlsStore::remove(const QString& name) const
{
    Entries entries = read();
    if (!entries.error.isEmpty())
        return keys::StoreStatus::failure(entries.error);
    if (entries.modes.remove(name) == 0)
        return keys::StoreStatus::success();
    return write(entries.modes);
}

}  // namespace zephra::app
