// TLS on the direct route beyond libcurl's options (those are set in DirectPerform.cpp): the
// server's certificate, the closing of an upload's data connection, and the failures.
//
// The server's certificate: one OpenSSL verify callback decides for every
// handshake of the session. libcurl loads the system CA store; we add the caller's CA file, name
// the host through OpenSSL's own check (so a host name mismatch arrives in the same callback as
// every other problem), and take a certificate whose SHA-256 the caller trusts whatever is wrong
// with it. libcurl's own host name check is off (DirectPerform.cpp): it would run after the
// handshake and refuse a trusted certificate issued for another name.

#include "ftp/direct/DirectTls.h"

#include "ftp/direct/DirectCall.h"

#include <QDateTime>
#include <QElapsedTimer>
#include <QLoggingCategory>
#include <QTimeZone>

#include <openssl/asn1.h>
#include <openssl/bio.h>
#include <openssl/evp.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <openssl/x509_vfy.h>
#include <openssl/x509v3.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>


namespace zephra::ftp::direct::detail {

namespace {

// Where the TlsCheck hangs on each SSL_CTX libcurl makes (one per connection).
int checkIndex()
{
    static const int index = SSL_CTX_get_ex_new_index(0, nullptr, nullptr, nullptr, nullptr);
    return index;
}

QString nameText(const X509_NAME* name)
{
    BIO* bio = BIO_new(BIO_s_mem());
    if (!bio)
        return QString();
    // "CN=ftp.example.org, O=Example", UTF-8 kept as it is.
    X509_NAME_print_ex(bio, name, 0, (XN_FLAG_RFC2253 & ~ASN1_STRFLGS_ESC_MSB & ~XN_FLAG_SEP_MASK) | XN_FLAG_SEP_CPLUS_SPC);
    char* data = nullptr;
    const long size = BIO_get_mem_data(bio, &data);
    QString text = QString::fromUtf8(data, qsizetype(size));
    BIO_free(bio);
    return text;
}

QDateTime timeOf(const ASN1_TIME* time)
{
    tm t{};
    if (!time || ASN1_TIME_to_tm(time, &t) != 1)
        return QDateTime();
    return QDateTime(QDate(t.tm_year + 1900, t.tm_mon + 1, t.tm_mday), QTime(t.tm_hour, t.tm_min, t.tm_sec), QTimeZone::utc());
}

QByteArray sha256Of(X509* cert)
{
    unsigned char md[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (X509_digest(cert, EVP_sha256(), md, &length) != 1)
        return QByteArray();
    return QByteArray(reinterpret_cast<const char*>(md), int(length));
}

QByteArray derOf(X509* cert)
{
    const int size = i2d_X509(cert, nullptr);
    if (size <= 0)
        return QByteArray();
    QByteArray der(size, Qt::Uninitialized);
    auto* out = reinterpret_cast<unsigned char*>(der.data());
    i2d_X509(cert, &out);
    return der;
}

// A verify error as the user reads it.
QString problemText(int error, const QByteArray& host)
{
    switch (error) {
    case X509_V_ERR_DEPTH_ZERO_SELF_SIGNED_CERT:
    case X509_V_ERR_SELF_SIGNED_CERT_IN_CHAIN:
        return QStringLiteral("self-signed");
    case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY:
    case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT:
    case X509_V_ERR_UNABLE_TO_VERIFY_LEAF_SIGNATURE:
        return QStringLiteral("issued by an authority that is not trusted");
    case X509_V_ERR_CERT_HAS_EXPIRED:
        return QStringLiteral("expired");
    case X509_V_ERR_CERT_NOT_YET_VALID:
        return QStringLiteral("not yet valid");
    case X509_V_ERR_HOSTNAME_MISMATCH:
    case X509_V_ERR_IP_ADDRESS_MISMATCH:
        return QStringLiteral("issued for another host than %1").arg(QString::fromUtf8(host));
    case X509_V_ERR_CERT_REVOKED:
        return QStringLiteral("revoked");
    default:
        break;
    }
    return QString::fromUtf8(X509_verify_cert_error_string(error));
}

// Called by OpenSSL for each certificate of the chain and each problem found. Problems are
// collected rather than ending the handshake at the first, so the user sees all of them; the
// last call (depth 0, no new problem) decides.
int verifyPeer(int preverified, X509_STORE_CTX* store)
{
    auto* ssl = static_cast<SSL*>(X509_STORE_CTX_get_ex_data(store, SSL_get_ex_data_X509_STORE_CTX_idx()));
    auto* check = ssl ? static_cast<TlsCheck*>(SSL_CTX_get_ex_data(SSL_get_SSL_CTX(ssl), checkIndex())) : nullptr;
    X509* leaf = X509_STORE_CTX_get0_cert(store);
    if (!check || !leaf)
        return preverified;
    const QByteArray fingerprint = sha256Of(leaf);
    if (!fingerprint.isEmpty() && check->trustedSha256.contains(fingerprint)) {
        // The user trusted exactly this certificate: nothing about it counts any more, and
        // libcurl's look at the verify result after the handshake must find no error either.
        X509_STORE_CTX_set_error(store, X509_V_OK);
        return 1;
    }
    PeerCertificate& seen = check->certificate;
    if (seen.sha256 != fingerprint) {
        seen = PeerCertificate();
        seen.der = derOf(leaf);
        seen.sha256 = fingerprint;
        seen.subject = nameText(X509_get_subject_name(leaf));
        seen.issuer = nameText(X509_get_issuer_name(leaf));
        seen.notBefore = timeOf(X509_get0_notBefore(leaf));
        seen.notAfter = timeOf(X509_get0_notAfter(leaf));
    }
    const int error = X509_STORE_CTX_get_error(store);
    if (!preverified) {
        const QString problem = problemText(error, check->host);
        if (!seen.problems.contains(problem))
            seen.problems.append(problem);
        return 1;  // go on collecting; the final call refuses
    }
    if (X509_STORE_CTX_get_error_depth(store) == 0 && !seen.problems.isEmpty()) {
        check->rejected = true;
        qCDebug(lcDirect) << "certificate refused:" << seen.subject << seen.problems;
        if (error == X509_V_OK)
            X509_STORE_CTX_set_error(store, X509_V_ERR_CERT_REJECTED);
        return 0;
    }
    return 1;
}

// The data connection of a TLS upload must not end in a reset. Over TLS 1.3 the server sends
// session tickets on it after the handshake, which libcurl never reads; closing a socket with
// unread bytes makes the kernel send RST instead of FIN, and the server's kernel then drops what
// it had received but the server had not yet read: the uploaded file lost its tail and vsftpd
// answered "426 Failure reading network stream." (libcurl 7.88; later versions read the tickets
// themselves). So: send FIN, read and drop what the server still sends until it closes (bounded
// in time and bytes), then close.
void drainBeforeClose(curl_socket_t fd, int waitMs)
{
    ::shutdown(fd, SHUT_WR);
    QElapsedTimer clock;
    clock.start();
    char scratch[4096];
    qint64 dropped = 0;
    constexpr qint64 kMaxDropped = 256 * 1024;  // tickets are small; more is a transfer still running
    while (dropped < kMaxDropped) {
        const qint64 left = waitMs - clock.elapsed();
        if (left <= 0)
            break;
        pollfd p{};
        p.fd = fd;
        p.events = POLLIN;
        if (::poll(&p, 1, int(left)) <= 0)
            break;
        const ssize_t n = ::recv(fd, scratch, sizeof scratch, MSG_DONTWAIT);
        if (n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR))
            break;  // the server closed: it has read everything
        if (n > 0)
            dropped += n;
    }
}

quint16 peerPortOf(curl_socket_t fd)
{
    sockaddr_storage address{};
    socklen_t length = sizeof address;
    if (::getpeername(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0)
        return 0;
    if (address.ss_family == AF_INET)
        return ntohs(reinterpret_cast<const sockaddr_in*>(&address)->sin_port);
    if (address.ss_family == AF_INET6)
        return ntohs(reinterpret_cast<const sockaddr_in6*>(&address)->sin6_port);
    return 0;
}

}  // namespace

// What went wrong with TLS, when it was TLS; an ok result otherwise.
DirectResult tlsFailure(CURLcode rc, const Call& call, const QString& cannot, const QString& detail, int replyCode,
                        const QString& reply)
{
    const detail::TlsCheck& check = call.tlsCheck;
    if (check.caFileUnreadable)
        return failure(DirectError::LocalFile,
                       QStringLiteral("%1: the CA file %2 holds no certificate that can be read.").arg(cannot, check.caFile));
    if (!check.certificate.problems.isEmpty()
        && (rc == CURLE_PEER_FAILED_VERIFICATION || rc == CURLE_SSL_CONNECT_ERROR || check.rejected)) {
        DirectResult r = failure(DirectError::Certificate,
                                 QStringLiteral("%1: the server's certificate is not trusted (%2).")
                                     .arg(cannot, check.certificate.problems.join(QStringLiteral("; "))),
                                 replyCode, reply);
        r.certificate = check.certificate;
        return r;
    }
    if (rc == CURLE_USE_SSL_FAILED) {
        // "530 Please login with USER and PASS." (vsftpd without TLS) to AUTH TLS and AUTH SSL;
        // or, after TLS came up, a refused PROT P: data would move in plain, which is refused too.
        const QString said = reply.isEmpty() ? detail : reply;
        if (!call.authAccepted)
            return failure(DirectError::TlsRefused,
                           QStringLiteral("%1: the server refused TLS (%2); nothing else was sent.").arg(cannot, said),
                           replyCode, reply);
        return failure(DirectError::TlsRefused,
                       QStringLiteral("%1: the server refused to protect the data connections (%2).").arg(cannot, said),
                       replyCode, reply);
    }
    const bool handshake = rc == CURLE_SSL_CONNECT_ERROR || rc == CURLE_SSL_CIPHER || rc == CURLE_PEER_FAILED_VERIFICATION;
    if (!handshake)
        return {};
    if (call.isTransfer())
        return failure(DirectError::DataConnection,
                       QStringLiteral("%1: the TLS handshake of the data connection failed (%2).")
                           .arg(cannot, reply.isEmpty() ? detail : detail + QStringLiteral("; ") + reply),
                       replyCode, reply);
    return failure(DirectError::TlsHandshake, QStringLiteral("%1: the TLS handshake failed (%2).").arg(cannot, detail), replyCode, reply);
}

int closeSocket(void* user, curl_socket_t fd)
{
    const auto* closer = static_cast<const SocketCloser*>(user);
    const Call* call = closer->running;
    // Only a data connection (not the control connection's port) of an upload that ended as
    // planned: a cancelled or stalled one is let go at once.
    const bool finishedUpload = call && call->kind == Call::Kind::Upload && !call->cancel->load() && !call->stalled
                                && !call->localFailure;
    if (finishedUpload && peerPortOf(fd) != closer->controlPort)
        drainBeforeClose(fd, closer->drainMs);
    return ::close(fd);
}

CURLcode prepareTlsContext(CURL*, void* sslContext, void* data)
{
    auto* ctx = static_cast<SSL_CTX*>(sslContext);
    auto* check = static_cast<TlsCheck*>(data);
    if (!check->caFile.isEmpty()) {
        const QByteArray path = check->caFile.toLocal8Bit();
        // Adds to the store libcurl filled with the system's authorities; CURLOPT_CAINFO would
        // replace them.
        if (SSL_CTX_load_verify_locations(ctx, path.constData(), nullptr) != 1) {
            check->caFileUnreadable = true;
            return CURLE_SSL_CACERT_BADFILE;
        }
    }
    X509_VERIFY_PARAM* param = SSL_CTX_get0_param(ctx);
    unsigned char address[16];
    const bool isAddress = ::inet_pton(AF_INET, check->host.constData(), address) == 1
                           || ::inet_pton(AF_INET6, check->host.constData(), address) == 1;
    if (isAddress) {
        X509_VERIFY_PARAM_set1_ip_asc(param, check->host.constData());
    } else {
        X509_VERIFY_PARAM_set_hostflags(param, X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS);
        X509_VERIFY_PARAM_set1_host(param, check->host.constData(), size_t(check->host.size()));
    }
    SSL_CTX_set_ex_data(ctx, checkIndex(), check);
    SSL_CTX_set_verify(ctx, SSL_VERIFY_PEER, &verifyPeer);
    return CURLE_OK;
}

}  // namespace zephra::ftp::direct::detail
