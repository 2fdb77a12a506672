#pragma once
// FTP over TLS: what a session asks for and what it learns about the server's certificate.
// Both routes take these (ftp::Connection on QSslSocket, the direct route on libcurl), so the
// window and the command-line tool decide the same way whichever route runs.
//
// - Explicit TLS: AUTH TLS on the control connection, then PBSZ 0 and PROT P after the login's
//   TLS handshake, before USER (RFC 4217). Implicit TLS (ftps://, port 990) starts TLS at once.
// - Every data connection is TLS too and resumes the control connection's TLS session (servers
//   require it: vsftpd's require_ssl_reuse). CCC is never sent.
// - A certificate is accepted when it verifies against the system CA store (plus caFile) and
//   the host name, or when its SHA-256 fingerprint is in trustedSha256. Anything else ends the
//   connect with a certificate error that carries the PeerCertificate, before USER is sent; the
//   caller may ask the user and connect again with the fingerprint trusted.

#include <QByteArray>
#include <QDateTime>
#include <QList>
#include <QString>
#include <QStringList>

namespace zephra::ftp {

enum class TlsMode {
    Require,    // TLS or nothing: only AUTH is sent before TLS is up
    IfOffered,  // TLS when the server takes AUTH TLS, else a plain session (the route says so)
    Plain,      // plain FTP, as before
};

struct TlsOptions {
    TlsMode mode = TlsMode::IfOffered;
    bool implicit = false;             // TLS from the first byte (ftps://, port 990)
    QString caFile;                    // PEM certificates trusted beside the system store
    QList<QByteArray> trustedSha256;   // raw 32-byte SHA-256 of DER certificates accepted as they are
    bool maxTls12 = false;             // never above TLS 1.2 (tests of both versions)
};

// The server's certificate as the user is shown it when it did not verify.
struct PeerCertificate {
    QByteArray der;
    QByteArray sha256;          // raw 32 bytes of the DER's SHA-256
    QString subject;            // e.g. "CN=ftp.example.org, O=Example"
    QString issuer;
    QDateTime notBefore;
    QDateTime notAfter;
    QStringList problems;       // why it did not verify: "self-signed", "expired", "host name ..."

    bool isNull() const { return der.isEmpty(); }
    // "AB:CD:..." (upper-case hex pairs), as certificate tools print it.
    QString fingerprintText() const;
};

// Parses "AB:CD:..." or "abcd..." (64 hex digits, colons optional) into 32 bytes; empty when not.
QByteArray parseSha256Fingerprint(const QString& text);

}  // namespace zephra::ftp
