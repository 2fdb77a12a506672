#pragma once
// Inside the direct route: the check of the server's certificate, run by OpenSSL during every
// TLS handshake libcurl makes for the session (the control connection and each data connection).
// Only the direct route's own sources include this.

#include "ftp/Tls.h"

#include <QByteArray>
#include <QList>
#include <QString>

#include <curl/curl.h>

namespace zephra::ftp::direct::detail {

// What one perform's handshakes are checked against, and what the check found.
struct TlsCheck {
    QByteArray host;                  // the name (or address) the certificate must be issued for
    QString caFile;                   // PEM certificates trusted beside the system store
    QList<QByteArray> trustedSha256;  // certificates taken as they are
    bool caFileUnreadable = false;    // caFile held no certificate OpenSSL could load
    bool rejected = false;            // a certificate failed and is not trusted by its fingerprint
    PeerCertificate certificate;      // the rejected one, problems included
};

// The CURLOPT_SSL_CTX_FUNCTION: adds caFile to the store libcurl loaded (the system's), names
// the host to verify, and installs the verify callback that decides; check is a TlsCheck.
CURLcode prepareTlsContext(CURL* handle, void* sslContext, void* check);

}  // namespace zephra::ftp::direct::detail
