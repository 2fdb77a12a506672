#include "app/CertificateTrustStore.h"

#include "app/OwnerOnlyFile.h"
#include "ftp/Tls.h"

namespace zephra::app {

QString CertificateTrustStore::serverKey(const QString& host, int port)
{
    const QString h = host.trimmed().toLower();
    const bool ipv6 = h.contains(u':') && !h.startsWith(u'[');
    return (ipv6 ? u'[' + h + u']' : h) + u':' + QString::number(port);
}

CertificateTrustStore::Entries CertificateTrustStore::read() const
{
    Entries entries;
    const WholeFile file = readWholeFile(path());
    entries.error = file.error;
    for (const QByteArray& raw : file.bytes.split('\n')) {
        const QString line = QString::fromUtf8(raw).trimmed();
        if (line.isEmpty() || line.startsWith(u'#'))
            continue;
        const qsizetype space = line.indexOf(u' ');
        if (space <= 0)
            continue;
        const QByteArray sha256 = ftp::parseSha256Fingerprint(line.left(space));
        const QString server = line.mid(space + 1).trimmed();
        if (sha256.isEmpty() || server.isEmpty())
            continue;  // a line edited into nonsense trusts nothing
        entries.byServer.insert(server.toLower(), sha256);
    }
    return entries;
}

CertificateTrustStore::Lookup CertificateTrustStore::trusted(const QString& host, int port) const
{
    const Entries entries = read();
    return {entries.byServer.value(serverKey(host, port)), entries.error};
}

keys::StoreStatus CertificateTrustStore::trust(const QString& host, int port, const QByteArray& sha256) const
{
    Entries entries = read();
    if (!entries.error.isEmpty())
        return keys::StoreStatus::failure(entries.error);  // never written over what was not read
    entries.byServer.insert(serverKey(host, port), sha256);
    QByteArray bytes = "# ZephraFTP: certificates trusted although they do not verify: SHA-256 host:port\n";
    for (auto it = entries.byServer.cbegin(); it != entries.byServer.cend(); ++it)
        bytes += it.value().toHex(':').toUpper() + ' ' + it.key().toUtf8() + '\n';
    return writeOwnerOnly(path(), bytes, QStringLiteral("the trusted certificates"));
}

}  // namespace zephra::app
