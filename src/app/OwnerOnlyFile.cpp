#include "app/OwnerOnlyFile.h"

#include <QDir>
#include <QFile>
#include <QSaveFile>

namespace zephra::app {

WholeFile readWholeFile(const QString& path)
{
    WholeFile out;
    QFile file(path);
    if (!file.exists())
        return out;
    if (!file.open(QIODevice::ReadOnly)) {
        out.error = QStringLiteral("Cannot read %1: %2.").arg(QDir::toNativeSeparators(path), file.errorString());
        return out;
    }
    out.bytes = file.readAll();
    if (file.error() != QFileDevice::NoError)
        out.error = QStringLiteral("Cannot read %1: %2.").arg(QDir::toNativeSeparators(path), file.errorString());
    return out;
}

keys::StoreStatus writeOwnerOnly(const QString& path, const QByteArray& bytes, const QString& what)
{
    const auto failed = [&](const QString& why) {
        return keys::StoreStatus::failure(
            QStringLiteral("Cannot write %1 (%2): %3.").arg(QDir::toNativeSeparators(path), what, why));
    };
    QSaveFile out(path);
    if (!out.open(QIODevice::WriteOnly))
        return failed(out.errorString());
    // QSaveFile creates a new file with the process's umask (it copies only an existing file's
    // mode): narrowed before the first byte is written.
    if (!out.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner)) {
        const QString why = out.errorString();
        out.cancelWriting();
        return failed(why);
    }
    if (out.write(bytes) != bytes.size() || !keys::syncToDisk(out)) {
        const QString why = out.errorString();
        out.cancelWriting();
        return failed(why);
    }
    if (!out.commit())
        return failed(out.errorString());
    return keys::StoreStatus::success();
}

}  // namespace zephra::app
