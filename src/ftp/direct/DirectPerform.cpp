// One libcurl perform for the direct route: the easy handle's options, the callbacks that watch
// the replies, the data, the progress and the data connections, and the one place that turns
// libcurl's outcome into a DirectResult.

#include "ftp/direct/DirectCall.h"

#include "ftp/Listing.h"
#include "ftp/ProtocolLog.h"

#include <openssl/ssl.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <sys/socket.h>

#include <utility>

Q_LOGGING_CATEGORY(lcDirect, "zephra.ftp.direct", QtInfoMsg)

namespace zephra::ftp::direct {

using detail::Call;
using detail::prepareTlsContext;

namespace {

CURL* handleOf(void* p) { return static_cast<CURL*>(p); }

long seconds(int ms) { return ms <= 0 ? 0 : (ms + 999) / 1000; }

// A server reply line as libcurl hands it to the header callback: "550 No such file.".
int replyCodeOf(const QByteArray& line)
{
    if (line.size() < 3)
        return 0;
    for (int i = 0; i < 3; ++i)
        if (line[i] < '0' || line[i] > '9')
            return 0;
    if (line.size() > 3 && line[3] != ' ' && line[3] != '-')
        return 0;
    return (line[0] - '0') * 100 + (line[1] - '0') * 10 + (line[2] - '0');
}

size_t onReply(char* data, size_t size, size_t count, void* user)
{
    auto* call = static_cast<Call*>(user);
    const size_t n = size * count;
    const QByteArray raw(data, qsizetype(n));
    if (call->kind == Call::Kind::Login)
        call->replyLines.append(raw);
    const QByteArray line = raw.trimmed();
    if (const int code = replyCodeOf(line); code > 0) {
        call->lastCode = code;
        call->lastReply = QString::fromUtf8(line);
        if (code >= 400) {
            call->failCode = code;
            call->failReply = call->lastReply;
        }
        if (call->isTransfer() && (code == 125 || code == 150))
            call->transferStarted = true;
        if (call->kind == Call::Kind::Login && code == 234)  // "234 Proceed with negotiation."
            call->authAccepted = true;
        if (code == 220 && line.size() > 3 && line[3] == ' ')  // a new control connection's greeting
            ++call->greetings;
        if (call->tls && call->tlsVersion == 0) {
            // The control connection's TLS, once it is up (libcurl gives it during a perform only).
            curl_tlssessioninfo* info = nullptr;
            if (curl_easy_getinfo(call->handle, CURLINFO_TLS_SSL_PTR, &info) == CURLE_OK && info && info->internals)
                call->tlsVersion = SSL_version(static_cast<SSL*>(info->internals));
        }
    }
    return n;
}

size_t onData(char* data, size_t size, size_t count, void* user)
{
    auto* call = static_cast<Call*>(user);
    const size_t n = size * count;
    if (!call->consumer || !(*call->consumer)(data, qint64(n))) {
        call->localFailure = true;
        return 0;  // libcurl ends the transfer with CURLE_WRITE_ERROR
    }
    return n;
}

size_t onUploadData(char* buffer, size_t size, size_t count, void* user)
{
    auto* call = static_cast<Call*>(user);
    const qint64 got = (*call->producer)(buffer, qint64(size * count));
    if (got < 0 || size_t(got) > size * count) {
        call->localFailure = true;
        return CURL_READFUNC_ABORT;
    }
    return size_t(got);
}

int onProgress(void* user, curl_off_t dltotal, curl_off_t dlnow, curl_off_t ultotal, curl_off_t ulnow)
{
    auto* call = static_cast<Call*>(user);
    if (call->cancel->load())
        return 1;  // libcurl ends the operation with CURLE_ABORTED_BY_CALLBACK
    // Our own stall clock, from the start of the operation: libcurl's low-speed check averages
    // over several seconds and ends a stalled transfer only some 5 s after the time asked for.
    // libcurl calls this at least once a second while it waits, so a stall ends within a
    // second of the time-out.
    if (call->isTransfer()) {
        const qint64 moved = qint64(dlnow) + qint64(ulnow);
        if (moved != call->lastMoved || !call->sinceMoved.isValid()) {
            call->lastMoved = moved;
            call->sinceMoved.start();
        } else if (call->stallMs > 0 && call->sinceMoved.hasExpired(call->stallMs)) {
            call->stalled = true;
            return 1;
        }
    }
    qint64 done = -1;
    qint64 total = -1;
    if (call->kind == Call::Kind::Download) {
        done = dlnow;
        total = dltotal > 0 ? dltotal : -1;
    } else if (call->kind == Call::Kind::Upload) {
        done = ulnow;
        total = call->uploadSize >= 0 ? call->uploadSize : (ultotal > 0 ? ultotal : -1);
    } else {
        return 0;
    }
    if (done != call->lastDone || total != call->lastTotal) {
        call->lastDone = done;
        call->lastTotal = total;
        if (*call->progress)
            (*call->progress)(done, total);
    }
    return 0;
}

// The address at the other end of a socket, as text ("127.0.0.1", "::1"); an IPv4 address
// mapped into IPv6 as its IPv4 form.
QByteArray peerAddressOf(curl_socket_t fd)
{
    sockaddr_storage address{};
    socklen_t length = sizeof address;
    if (::getpeername(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0)
        return QByteArray();
    char text[INET6_ADDRSTRLEN] = {};
    if (address.ss_family == AF_INET) {
        const auto* v4 = reinterpret_cast<const sockaddr_in*>(&address);
        ::inet_ntop(AF_INET, &v4->sin_addr, text, sizeof text);
    } else if (address.ss_family == AF_INET6) {
        const auto* v6 = reinterpret_cast<const sockaddr_in6*>(&address);
        if (IN6_IS_ADDR_V4MAPPED(&v6->sin6_addr))
            ::inet_ntop(AF_INET, &v6->sin6_addr.s6_addr[12], text, sizeof text);
        else
            ::inet_ntop(AF_INET6, &v6->sin6_addr, text, sizeof text);
    }
    return QByteArray(text);
}

// An active-mode data connection is taken only from the host the control connection goes to:
// anyone else who reaches the port we announced (a third address, RFC 2577's "port stealing")
// would otherwise deliver the download or receive the upload.
int onSocket(void* user, curl_socket_t fd, curlsocktype purpose)
{
    if (purpose != CURLSOCKTYPE_ACCEPT)
        return CURL_SOCKOPT_OK;
    auto* call = static_cast<Call*>(user);
    char* server = nullptr;
    if (curl_easy_getinfo(call->handle, CURLINFO_PRIMARY_IP, &server) != CURLE_OK || !server)
        server = nullptr;
    call->serverAddress = QByteArray(server ? server : "");
    if (call->serverAddress.startsWith("::ffff:"))
        call->serverAddress.remove(0, 7);
    const QByteArray peer = peerAddressOf(fd);
    if (!peer.isEmpty() && peer == call->serverAddress)
        return CURL_SOCKOPT_OK;
    call->strangerAddress = peer.isEmpty() ? QByteArray("an unknown address") : peer;
    qCDebug(lcDirect) << "refused a data connection from" << call->strangerAddress << "; the server is" << call->serverAddress;
    return CURL_SOCKOPT_ERROR;
}

int onDebug(CURL*, curl_infotype type, char* data, size_t size, void* user)
{
    // Only the control connection's text: CURLINFO_DATA_* is file data, CURLINFO_SSL_DATA_* the
    // TLS records.
    if (type != CURLINFO_TEXT && type != CURLINFO_HEADER_IN && type != CURLINFO_HEADER_OUT)
        return 0;
    const QByteArray text(data, qsizetype(size));
    if (type == CURLINFO_TEXT) {
        qCDebug(lcDirect).noquote() << "* " << QString::fromUtf8(text.trimmed());
        return 0;
    }
    const bool sent = type == CURLINFO_HEADER_OUT;
    const auto* call = static_cast<const Call*>(user);
    for (const QByteArray& raw : text.split('\n')) {
        if (raw.trimmed().isEmpty())
            continue;
        // Passwords never reach a log.
        const QString line = sent ? loggableCommand(raw) : QString::fromUtf8(raw.endsWith('\r') ? raw.chopped(1) : raw);
        qCDebug(lcDirect).noquote() << (sent ? "->" : "<-") << line;
        if (call && call->protocolLine && *call->protocolLine)
            (*call->protocolLine)(line, sent);
    }
    return 0;
}

}  // namespace

ServerFeatures parseFeatures(const QList<QByteArray>& replyLines)
{
    // RFC 2389: "211-Features:", one feature a line, each line starting with a blank, "211 End".
    ServerFeatures features;
    bool inFeat = false;
    for (const QByteArray& raw : replyLines) {
        const QByteArray line = raw.trimmed();
        if (!inFeat) {
            inFeat = line.startsWith("211-");
            continue;
        }
        if (line.startsWith("211 ") || line == "211")
            break;
        const QByteArray name = line.split(' ').value(0).toUpper();
        if (name == "UTF8")
            features.utf8 = true;
        else if (name == "MLST")
            features.mlsd = true;
    }
    return features;
}

QByteArray urlPathOf(const QByteArray& path)
{
    static const char hex[] = "0123456789ABCDEF";
    QByteArray out;
    out.reserve(path.size() * 3);
    for (qsizetype i = 0; i < path.size(); ++i) {
        const auto c = static_cast<unsigned char>(path[i]);
        const bool keep = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-'
                          || c == '.' || c == '_' || c == '~' || (c == '/' && i > 0);
        if (keep) {
            out += char(c);
        } else {
            out += '%';
            out += hex[c >> 4];
            out += hex[c & 15];
        }
    }
    return out;
}

bool holdsLineBreak(const QByteArray& path)
{
    return path.contains('\r') || path.contains('\n') || path.contains('\0');
}

QString quoted(const QString& name) { return QLatin1Char('\'') + name + QLatin1Char('\''); }

QString quoted(const QByteArray& path) { return quoted(decodeServerName(path)); }

DirectResult failure(DirectError error, const QString& message, int code, const QString& text)
{
    DirectResult r;
    r.error = error;
    r.replyCode = code;
    r.serverText = text;
    r.message = message;
    return r;
}

bool DirectSession::hasControlConnection() const
{
    curl_socket_t sock = CURL_SOCKET_BAD;
    return curl_easy_getinfo(handleOf(m_curl), CURLINFO_ACTIVESOCKET, &sock) == CURLE_OK && sock != CURL_SOCKET_BAD;
}

bool DirectSession::controlConnectionIsStale() const
{
    curl_socket_t sock = CURL_SOCKET_BAD;
    if (curl_easy_getinfo(handleOf(m_curl), CURLINFO_ACTIVESOCKET, &sock) != CURLE_OK || sock == CURL_SOCKET_BAD)
        return false;  // no cached connection: libcurl connects anyway
    pollfd p{};
    p.fd = sock;
    p.events = POLLIN;
    return ::poll(&p, 1, 0) > 0 && (p.revents & (POLLIN | POLLHUP | POLLERR)) != 0;
}

DirectResult DirectSession::perform(Call& call)
{
    if (m_cancel.load())
        return failure(DirectError::Cancelled, QStringLiteral("Cancelled."));
    CURL* c = handleOf(m_curl);
    // Reset keeps the connection cache: the logged-in control connection survives.
    curl_easy_reset(c);
    call.handle = c;
    call.progress = &m_progress;
    call.protocolLine = &m_protocolLine;
    call.cancel = &m_cancel;
    call.stallMs = m_options.stallTimeoutMs;

    // An idle control connection has nothing to say. When the server has spoken anyway or hung up
    // (pyftpdlib: "421 Control connection timed out." and close), libcurl would reuse it and
    // fail the operation on that 421; open a fresh one instead, which logs in again.
    const bool stale = call.kind != Call::Kind::Login && controlConnectionIsStale();
    if (stale)
        qCDebug(lcDirect) << "the server dropped the idle control connection; logging in again";
    const bool fresh = stale || std::exchange(m_freshConnection, false);
    // A new control connection starts without OPTS UTF8 ON: say it again first ("*": a refusal
    // does not fail the operation).
    QList<QByteArray> quotes = call.quote;
    if (m_utf8 && call.kind != Call::Kind::Login && (fresh || !hasControlConnection()))
        quotes.prepend("*OPTS UTF8 ON");

    const QByteArray user = m_user.toUtf8();
    const QByteArray password = m_password.toUtf8();
    curl_easy_setopt(c, CURLOPT_URL, call.url.constData());
    curl_easy_setopt(c, CURLOPT_PROTOCOLS_STR, m_options.tls.implicit ? "ftps" : "ftp");
    curl_easy_setopt(c, CURLOPT_USERNAME, user.constData());
    curl_easy_setopt(c, CURLOPT_PASSWORD, password.constData());
    curl_easy_setopt(c, CURLOPT_NOSIGNAL, 1L);
    // Commands carry absolute paths and need no directory; everything else changes into its
    // directory with one CWD of the whole path, then names the file alone (or nothing, for a
    // listing).
    curl_easy_setopt(c, CURLOPT_FTP_FILEMETHOD,
                     long(call.kind == Call::Kind::Command ? CURLFTPMETHOD_NOCWD : CURLFTPMETHOD_SINGLECWD));
    curl_easy_setopt(c, CURLOPT_FTPPORT, usesActiveDataConnections() ? "-" : nullptr);
    curl_easy_setopt(c, CURLOPT_CONNECTTIMEOUT_MS, long(m_options.connectTimeoutMs));
    curl_easy_setopt(c, CURLOPT_SERVER_RESPONSE_TIMEOUT, seconds(m_options.replyTimeoutMs));
    curl_easy_setopt(c, CURLOPT_ACCEPTTIMEOUT_MS, long(m_options.replyTimeoutMs));
    curl_easy_setopt(c, CURLOPT_TCP_KEEPALIVE, 1L);
    curl_easy_setopt(c, CURLOPT_MAXCONNECTS, 1L);  // a fresh connection pushes the stale one out
    curl_easy_setopt(c, CURLOPT_FRESH_CONNECT, fresh ? 1L : 0L);
    curl_easy_setopt(c, CURLOPT_BUFFERSIZE, 256L * 1024);
    curl_easy_setopt(c, CURLOPT_UPLOAD_BUFFERSIZE, 512L * 1024);
    curl_easy_setopt(c, CURLOPT_ERRORBUFFER, call.errorBuffer);
    curl_easy_setopt(c, CURLOPT_HEADERFUNCTION, &onReply);
    curl_easy_setopt(c, CURLOPT_HEADERDATA, &call);
    curl_easy_setopt(c, CURLOPT_NOPROGRESS, 0L);
    curl_easy_setopt(c, CURLOPT_XFERINFOFUNCTION, &onProgress);
    curl_easy_setopt(c, CURLOPT_XFERINFODATA, &call);
    curl_easy_setopt(c, CURLOPT_SOCKOPTFUNCTION, &onSocket);
    curl_easy_setopt(c, CURLOPT_SOCKOPTDATA, &call);
    // TLS: the same options on every perform, or libcurl would not reuse the logged-in control
    // connection. Explicit TLS asks with AUTH TLS; a refusal fails the perform
    // (CURLE_USE_SSL_FAILED) before USER is sent. Every data connection is protected (PROT P),
    // and a refused PROT P fails too rather than moving the data in plain. CCC is never sent.
    call.tls = usesTls();
    if (call.tls) {
        call.tlsCheck.host = m_server.toUtf8();
        call.tlsCheck.caFile = m_options.tls.caFile;
        call.tlsCheck.trustedSha256 = m_options.tls.trustedSha256;
        curl_easy_setopt(c, CURLOPT_USE_SSL, long(CURLUSESSL_ALL));
        curl_easy_setopt(c, CURLOPT_FTPSSLAUTH, long(CURLFTPAUTH_TLS));
        curl_easy_setopt(c, CURLOPT_FTP_SSL_CCC, long(CURLFTPSSL_CCC_NONE));
        const long highest = m_options.tls.maxTls12 ? long(CURL_SSLVERSION_MAX_TLSv1_2) : long(CURL_SSLVERSION_MAX_DEFAULT);
        curl_easy_setopt(c, CURLOPT_SSLVERSION, long(CURL_SSLVERSION_TLSv1_2) | highest);
        // The verify callback (DirectTls.cpp) decides, host name included; libcurl's own host
        // check would refuse a certificate the user trusts by its fingerprint.
        curl_easy_setopt(c, CURLOPT_SSL_VERIFYPEER, 1L);
        curl_easy_setopt(c, CURLOPT_SSL_VERIFYHOST, 0L);
        if (curl_easy_setopt(c, CURLOPT_SSL_CTX_FUNCTION, &prepareTlsContext) != CURLE_OK) {
            curl_easy_setopt(c, CURLOPT_ERRORBUFFER, nullptr);
            return failure(DirectError::Protocol, QStringLiteral("Cannot %1: this libcurl cannot check certificates (it does not use OpenSSL).").arg(call.what));
        }
        curl_easy_setopt(c, CURLOPT_SSL_CTX_DATA, &call.tlsCheck);
        // Data connections resume the control connection's session from this cache.
        curl_easy_setopt(c, CURLOPT_SSL_SESSIONID_CACHE, 1L);
        m_closer->controlPort = m_port;
        m_closer->drainMs = m_options.stallTimeoutMs > 0 ? m_options.stallTimeoutMs : m_options.replyTimeoutMs;
        curl_easy_setopt(c, CURLOPT_CLOSESOCKETFUNCTION, &detail::closeSocket);
        curl_easy_setopt(c, CURLOPT_CLOSESOCKETDATA, m_closer.get());
    }
    if (lcDirect().isDebugEnabled() || m_protocolLine) {
        curl_easy_setopt(c, CURLOPT_VERBOSE, 1L);
        curl_easy_setopt(c, CURLOPT_DEBUGFUNCTION, &onDebug);
        curl_easy_setopt(c, CURLOPT_DEBUGDATA, &call);
    }

    curl_slist* quote = nullptr;
    for (const QByteArray& q : std::as_const(quotes))
        quote = curl_slist_append(quote, q.constData());
    if (quote)
        curl_easy_setopt(c, CURLOPT_QUOTE, quote);

    switch (call.kind) {
    case Call::Kind::Login:
    case Call::Kind::EnterDirectory:
    case Call::Kind::Command:
        curl_easy_setopt(c, CURLOPT_NOBODY, 1L);
        break;
    case Call::Kind::Listing:
    case Call::Kind::Download:
        curl_easy_setopt(c, CURLOPT_WRITEFUNCTION, &onData);
        curl_easy_setopt(c, CURLOPT_WRITEDATA, &call);
        if (!call.customRequest.isEmpty())
            curl_easy_setopt(c, CURLOPT_CUSTOMREQUEST, call.customRequest.constData());
        if (call.from > 0)
            curl_easy_setopt(c, CURLOPT_RESUME_FROM_LARGE, curl_off_t(call.from));  // REST n, RETR
        // Only the first bytes: libcurl stops reading after them, sends ABOR and closes the
        // control connection (the next operation logs in on a fresh one).
        if (call.firstBytes > 0)
            curl_easy_setopt(c, CURLOPT_RANGE, QByteArray("0-" + QByteArray::number(call.firstBytes - 1)).constData());
        break;
    case Call::Kind::Upload:
        curl_easy_setopt(c, CURLOPT_UPLOAD, 1L);
        curl_easy_setopt(c, CURLOPT_READFUNCTION, &onUploadData);
        curl_easy_setopt(c, CURLOPT_READDATA, &call);
        curl_easy_setopt(c, CURLOPT_INFILESIZE_LARGE, curl_off_t(call.uploadSize));
        // libcurl resumes an upload with APPE (it has no REST + STOR); the producer already
        // starts at the first byte the server's copy lacks.
        if (call.from > 0)
            curl_easy_setopt(c, CURLOPT_APPEND, 1L);
        break;
    }
    if (call.kind == Call::Kind::Download || call.kind == Call::Kind::Upload)
        curl_easy_setopt(c, CURLOPT_TRANSFERTEXT, 0L);  // binary: TYPE I

    m_closer->running = &call;
    const CURLcode rc = curl_easy_perform(c);
    m_closer->running = nullptr;
    // libcurl's own count (CURLINFO_NUM_CONNECTS) takes in TLS data connections as well.
    m_connections += call.greetings;
    curl_off_t moved = 0;
    const CURLINFO counter = call.kind == Call::Kind::Upload ? CURLINFO_SIZE_UPLOAD_T : CURLINFO_SIZE_DOWNLOAD_T;
    if (call.isTransfer() && curl_easy_getinfo(c, counter, &moved) != CURLE_OK)
        moved = 0;
    curl_slist_free_all(quote);
    // The handle keeps pointers to options until the next reset; none of them may outlive here.
    curl_easy_setopt(c, CURLOPT_ERRORBUFFER, nullptr);
    curl_easy_setopt(c, CURLOPT_QUOTE, nullptr);
    curl_easy_setopt(c, CURLOPT_SSL_CTX_DATA, nullptr);

    if (call.tlsVersion != 0)
        m_tlsVersion = call.tlsVersion;
    // Over TLS 1.3 a data connection resumes the session with a ticket the server sent on an
    // earlier connection, and servers take each ticket once (vsftpd: "522 SSL connection failed:
    // session reuse required" on the next one). libcurl before 8.9 reads the tickets of download
    // and listing connections, but never those of an upload's, so after an upload it has no
    // unused ticket left; the next operation logs in on a fresh control connection, whose
    // handshake brings new ones.
    static const bool readsUploadTickets = curl_version_info(CURLVERSION_NOW)->version_num >= 0x080900;
    if (call.kind == Call::Kind::Upload && call.tls && m_tlsVersion == TLS1_3_VERSION && !readsUploadTickets)
        m_freshConnection = true;
    DirectResult r = resultOf(rc, call);
    r.transferStarted = call.transferStarted;
    r.bytesTransferred = qint64(moved);
    return r;
}

DirectResult DirectSession::resultOf(int code, const Call& call)
{
    const auto rc = CURLcode(code);
    if (rc == CURLE_OK) {
        DirectResult r;
        r.replyCode = call.lastCode;
        r.serverText = call.lastReply;
        return r;
    }

    // libcurl keeps the first message of a transfer in the error buffer. In active mode that is
    // a harmless note it writes on every data connection, "sa_addr inet_ntop() failed with
    // errno 97: Address family not supported by protocol", which says nothing about the failure.
    QString detail = QString::fromUtf8(call.errorBuffer);
    if (detail.isEmpty() || detail.startsWith(QLatin1String("sa_addr inet_ntop()")))
        detail = QString::fromUtf8(curl_easy_strerror(rc));
    const QString reply = call.failReply.isEmpty() ? call.lastReply : call.failReply;
    const int replyCode = call.failCode ? call.failCode : call.lastCode;
    const QString cannot = QStringLiteral("Cannot %1").arg(call.what);
    qCDebug(lcDirect) << "failed:" << call.what << rc << detail << reply;
    // A transfer broken off on our side (cancel, stall, a local failure, a refused data
    // connection) can leave the server waiting on its data connection; pyftpdlib then hands the
    // next data connection to the old transfer. The next operation therefore logs in on a fresh
    // control connection.
    if (call.isTransfer() && (call.localFailure || rc == CURLE_ABORTED_BY_CALLBACK || rc == CURLE_OPERATION_TIMEDOUT))
        m_freshConnection = true;

    // A cancel is reported as such whatever stopped first: a cipher stream cancelled by the same
    // request fails the producer or consumer before libcurl looks at the cancel itself.
    if (m_cancel.load() && call.strangerAddress.isEmpty())
        return failure(DirectError::Cancelled, QStringLiteral("Cancelled: %1.").arg(call.what), replyCode, reply);
    if (call.localFailure)
        return failure(DirectError::LocalFile, QStringLiteral("%1: the local data could not be %2.")
                                                   .arg(cannot, call.kind == Call::Kind::Upload ? QStringLiteral("read") : QStringLiteral("written")));
    if (rc == CURLE_ABORTED_BY_CALLBACK && !call.strangerAddress.isEmpty())
        return failure(DirectError::DataConnection,
                       QStringLiteral("%1: a data connection came from %2, not from the server (%3); it was refused.")
                           .arg(cannot, QString::fromLatin1(call.strangerAddress), QString::fromLatin1(call.serverAddress)),
                       replyCode, reply);
    if (rc == CURLE_ABORTED_BY_CALLBACK && call.stalled)
        return failure(DirectError::TimedOut, QStringLiteral("%1: no data moved for %2 s.").arg(cannot).arg(call.stallMs / 1000.0), replyCode, reply);

    const QString said = reply.isEmpty() ? detail : reply;
    if (call.tls) {
        if (const DirectResult r = detail::tlsFailure(rc, call, cannot, detail, replyCode, reply); !r.ok())
            return r;
    }
    switch (rc) {
    case CURLE_COULDNT_RESOLVE_HOST:
        return failure(DirectError::HostNotFound, QStringLiteral("%1: server name %2 not found.").arg(cannot, quoted(m_server)), 0, detail);
    case CURLE_COULDNT_CONNECT:
        return failure(DirectError::ConnectFailed,
                       QStringLiteral("%1: no FTP server answers at %2 port %3 (%4).").arg(cannot, m_server).arg(m_port).arg(detail),
                       0, detail);
    case CURLE_OPERATION_TIMEDOUT:
    case CURLE_FTP_ACCEPT_TIMEOUT:
        return failure(DirectError::TimedOut, QStringLiteral("%1: timed out (%2).").arg(cannot, detail), replyCode, reply);
    case CURLE_LOGIN_DENIED:
        return failure(DirectError::LoginRefused, QStringLiteral("%1: the server refused the login: %2").arg(cannot, said), replyCode, reply);
    case CURLE_REMOTE_FILE_NOT_FOUND:
        return failure(DirectError::NotFound, QStringLiteral("%1: the server has no such file: %2").arg(cannot, said), replyCode, reply);
    case CURLE_QUOTE_ERROR:
    case CURLE_REMOTE_ACCESS_DENIED:  // also a CWD refused: "550 Failed to change directory."
    case CURLE_UPLOAD_FAILED:
    case CURLE_FTP_COULDNT_RETR_FILE:
    case CURLE_FTP_COULDNT_SET_TYPE:
    case CURLE_FTP_COULDNT_USE_REST:
        return failure(DirectError::ServerRefused, QStringLiteral("%1: the server answered: %2").arg(cannot, said), replyCode, reply);
    case CURLE_FTP_PORT_FAILED:
    case CURLE_FTP_ACCEPT_FAILED:
    case CURLE_FTP_CANT_GET_HOST:
    case CURLE_FTP_WEIRD_PASV_REPLY:
    case CURLE_FTP_WEIRD_227_FORMAT:
        return failure(DirectError::DataConnection, QStringLiteral("%1: the data connection could not be opened (%2).").arg(cannot, said),
                       replyCode, reply);
    case CURLE_PARTIAL_FILE:
    case CURLE_RECV_ERROR:
    case CURLE_SEND_ERROR:
    case CURLE_GOT_NOTHING:
        return failure(DirectError::ConnectionLost, QStringLiteral("%1: the connection broke (%2).").arg(cannot, detail), replyCode, reply);
    case CURLE_URL_MALFORMAT:
        return failure(DirectError::InvalidArgument, QStringLiteral("%1: the name cannot be sent (%2).").arg(cannot, detail), replyCode, reply);
    default:
        break;
    }
    return failure(DirectError::Protocol, QStringLiteral("%1: %2").arg(cannot, reply.isEmpty() ? detail : detail + QStringLiteral(" (") + reply + QLatin1Char(')')),
                   replyCode, said);
}

}  // namespace zephra::ftp::direct
