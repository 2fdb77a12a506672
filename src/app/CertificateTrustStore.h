#pragma once
// Certificates the user chose to trust always although they do not verify (self-signed, another
// host name), in trusted-certs.dat in the data directory: one line per server,
// "<SHA-256 as AB:CD:...> <host>:<port>" (an IPv6 host in brackets). The file is replaced
// whole on every change (atomically) and is owner-only.
//
// One certificate per host and port: a server that later shows a different certificate is
// refused by the window, never silently trusted, so trust() replaces only when told to.

#include "keys/RecordFile.h"

#include <QByteArray>
#include <QMap>
#include <QString>

namespace zephra::app {

class CertificateTrustStore final {
public:
    static constexpr auto kFileName = "trusted-certs.dat";

    explicit CertificateTrustStore(QString appDir) : m_appDir(std::move(appDir)) {}
    QString path() const { return m_appDir + QLatin1String(kFileName); }

    // "host:port" as the file and the messages write it; the host in lower case.
    static QString serverKey(const QString& host, int port);

    struct Lookup {
        QByteArray sha256;  // the raw 32 bytes stored for the server; empty when none
        QString error;      // the file could not be read
    };
    Lookup trusted(const QString& host, int port) const;
    // Stores sha256 (raw 32 bytes) as the certificate of the server, replacing any other.
    keys::StoreStatus trust(const QString& host, int port, const QByteArray& sha256) const;

private:
    struct Entries {
        QMap<QString, QByteArray> byServer;
        QString error;
    };
    Entries read() const;

    QString m_appDir;
};

}  // namespace zephra::app
