#pragma once
// Private to the engine: TlsOptions turned into QSslSocket settings, and what a certificate
// that did not verify looks like to the user. The control and the data connections share them.

#include "ftp/Tls.h"

#include <QSslCertificate>
#include <QSslConfiguration>
#include <QSslError>

namespace zephra::ftp {

// The system CA store plus options.caFile; peer verified; TLS 1.2 or later (1.2 alone with
// maxTls12). Session tickets are kept (not just cached inside Qt), so that data connections can
// resume the control connection's session: QSslConfiguration::sessionTicket().
QSslConfiguration tlsClientConfiguration(const TlsOptions& options);
// A certificate whose SHA-256 the user trusted is taken whatever its problems.
bool isTrustedCertificate(const QSslCertificate& certificate, const TlsOptions& options);
PeerCertificate describeCertificate(const QSslCertificate& certificate, const QList<QSslError>& errors);

}  // namespace zephra::ftp
