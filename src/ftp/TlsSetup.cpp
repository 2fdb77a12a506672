#include "ftp/TlsSetup.h"

#include <QCryptographicHash>
#include <QSslSocket>

namespace zephra::ftp {

namespace {

// "CN=ftp.example.org, O=Example", in the order certificate tools print it.
QString distinguishedName(const QSslCertificate& certificate, bool issuer)
{
    static const std::pair<QSslCertificate::SubjectInfo, const char*> kParts[] = {
        {QSslCertificate::CommonName, "CN"},
        {QSslCertificate::Organization, "O"},
        {QSslCertificate::OrganizationalUnitName, "OU"},
        {QSslCertificate::LocalityName, "L"},
        {QSslCertificate::StateOrProvinceName, "ST"},
        {QSslCertificate::CountryName, "C"},
    };
    QStringList parts;
    for (const auto& [info, name] : kParts) {
        const QStringList values = issuer ? certificate.issuerInfo(info) : certificate.subjectInfo(info);
        for (const QString& value : values)
            parts.append(QLatin1String(name) + QLatin1Char('=') + value);
    }
    return parts.join(QStringLiteral(", "));
}

}  // namespace

QSslConfiguration tlsClientConfiguration(const TlsOptions& options)
{
    QSslConfiguration configuration = QSslConfiguration::defaultConfiguration();
    if (!options.caFile.isEmpty()) {
        QList<QSslCertificate> authorities = configuration.caCertificates();
        authorities += QSslCertificate::fromPath(options.caFile, QSsl::Pem);
        configuration.setCaCertificates(authorities);
    }
    configuration.setPeerVerifyMode(QSslSocket::VerifyPeer);
    configuration.setProtocol(options.maxTls12 ? QSsl::TlsV1_2 : QSsl::TlsV1_2OrLater);
    // Without persistence Qt keeps the session only inside its own context, and a data
    // connection (another socket, another context) could not resume it.
    configuration.setSslOption(QSsl::SslOptionDisableSessionPersistence, false);
    configuration.setSslOption(QSsl::SslOptionDisableSessionTickets, false);
    return configuration;
}

bool isTrustedCertificate(const QSslCertificate& certificate, const TlsOptions& options)
{
    return !certificate.isNull() && options.trustedSha256.contains(certificate.digest(QCryptographicHash::Sha256));
}

PeerCertificate describeCertificate(const QSslCertificate& certificate, const QList<QSslError>& errors)
{
    PeerCertificate peer;
    if (certificate.isNull())
        return peer;
    peer.der = certificate.toDer();
    peer.sha256 = certificate.digest(QCryptographicHash::Sha256);
    peer.subject = distinguishedName(certificate, false);
    peer.issuer = distinguishedName(certificate, true);
    peer.notBefore = certificate.effectiveDate();
    peer.notAfter = certificate.expiryDate();
    for (const QSslError& error : errors) {
        if (!peer.problems.contains(error.errorString()))
            peer.problems.append(error.errorString());
    }
    return peer;
}

}  // namespace zephra::ftp
