#include "ftp/direct/DirectSession.h"

#include "ftp/direct/DirectListing.h"

#include <QElapsedTimer>
#include <QFile>
#include <QLoggingCategory>
#include <QSaveFile>
#include <QUrl>

#include <curl/curl.h>

#include <algorithm>
#include <mutex>
#include <utility>

#include <poll.h>

Q_LOGGING_CATEGORY(lcDirect, "zephra.ftp.direct", QtInfoMsg)

namespace zephra::ftp::direct {

namespace detail {

// What one perform needs, and what its callbacks learn on the way.
struct Call {
    enum class Kind { Login, Listing, Download, Upload, Command };
    Kind kind = Kind::Command;
    QString what;  // completes "Cannot ..." in messages: "download 'a.txt'"
    QByteArray url;
    QList<QByteArray> quote;
    QList<QByteArray> postQuote;
    const Consumer* consumer = nullptr;
    const Producer* producer = nullptr;
    qint64 uploadSize = -1;
    const ProgressHandler* progress = nullptr;
    const std::atomic<bool>* cancel = nullptr;

    int lastCode = 0;
    QString lastReply;
    int failCode = 0;  // the last reply of 400 and above
    QString failReply;
    bool localFailure = false;
    bool transferDone = false;  // the data transfer ended well (a later failure is post-quote)
    qint64 lastDone = -1;
    qint64 lastTotal = -2;
    int stallMs = 0;         // a transfer whose byte count stands still this long is stalled
    qint64 lastMoved = -1;
    QElapsedTimer sinceMoved;
    bool stalled = false;
    char errorBuffer[CURL_ERROR_SIZE] = {};
};

}  // namespace detail

using detail::Call;

namespace {

constexpr auto kPartSuffix = ".zephra-part";
constexpr int kQuitWaitMs = 2000;  // how long close() waits for the reply to QUIT
constexpr qint64 kMaxListingBytes = 64LL * 1024 * 1024;

CURL* handleOf(void* p) { return static_cast<CURL*>(p); }

void initCurlOnce()
{
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

long seconds(int ms) { return ms <= 0 ? 0 : (ms + 999) / 1000; }

bool holdsLineBreak(const QString& s)
{
    return s.contains(QLatin1Char('\r')) || s.contains(QLatin1Char('\n')) || s.contains(QChar(0));
}

QString quoted(const QString& name) { return QLatin1Char('\'') + name + QLatin1Char('\''); }

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
    const QByteArray line = QByteArray(data, qsizetype(n)).trimmed();
    if (const int code = replyCodeOf(line); code > 0) {
        call->lastCode = code;
        call->lastReply = QString::fromUtf8(line);
        if (code >= 400) {
            call->failCode = code;
            call->failReply = call->lastReply;
        }
        // 226/250 after the data: the transfer itself is over; what fails now is a post-quote.
        if ((call->kind == Call::Kind::Upload) && (code == 226 || code == 250))
            call->transferDone = true;
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
    if (call->kind == Call::Kind::Download || call->kind == Call::Kind::Upload || call->kind == Call::Kind::Listing) {
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

int onDebug(CURL*, curl_infotype type, char* data, size_t size, void*)
{
    if (type != CURLINFO_TEXT && type != CURLINFO_HEADER_IN && type != CURLINFO_HEADER_OUT)
        return 0;
    QByteArray text = QByteArray(data, qsizetype(size)).trimmed();
    if (type == CURLINFO_HEADER_OUT && text.startsWith("PASS "))
        text = "PASS ****";  // passwords never reach a log
    const char* dir = type == CURLINFO_HEADER_OUT ? "->" : type == CURLINFO_HEADER_IN ? "<-" : "* ";
    qCDebug(lcDirect).noquote() << dir << QString::fromUtf8(text);
    return 0;
}

// The URL path for a server path, in the form libcurl passes on unchanged under NOCWD: every
// byte but the unreserved ones and inner slashes percent-encoded; a leading "/" (absolute path)
// as %2F, since the URL's own first slash is not part of the FTP path.
QByteArray encodePath(const QString& path)
{
    QByteArray out = QUrl::toPercentEncoding(path, "/");
    if (out.startsWith('/'))
        out.replace(0, 1, "%2F");
    return out;
}

DirectResult failure(DirectError error, const QString& message, int code = 0, const QString& text = QString())
{
    DirectResult r;
    r.error = error;
    r.replyCode = code;
    r.serverText = text;
    r.message = message;
    return r;
}

}  // namespace

QString errorName(DirectError error)
{
    switch (error) {
    case DirectError::None: return QStringLiteral("None");
    case DirectError::InvalidArgument: return QStringLiteral("InvalidArgument");
    case DirectError::NotOpen: return QStringLiteral("NotOpen");
    case DirectError::HostNotFound: return QStringLiteral("HostNotFound");
    case DirectError::ConnectFailed: return QStringLiteral("ConnectFailed");
    case DirectError::TimedOut: return QStringLiteral("TimedOut");
    case DirectError::LoginRefused: return QStringLiteral("LoginRefused");
    case DirectError::ServerRefused: return QStringLiteral("ServerRefused");
    case DirectError::NotFound: return QStringLiteral("NotFound");
    case DirectError::DataConnection: return QStringLiteral("DataConnection");
    case DirectError::ConnectionLost: return QStringLiteral("ConnectionLost");
    case DirectError::LocalFile: return QStringLiteral("LocalFile");
    case DirectError::Cancelled: return QStringLiteral("Cancelled");
    case DirectError::Protocol: return QStringLiteral("Protocol");
    }
    return QStringLiteral("Unknown");
}

DirectSession::DirectSession(DirectOptions options)
    : m_options(options)
{
    initCurlOnce();
}

DirectSession::~DirectSession()
{
    close();
}

QByteArray DirectSession::urlFor(const QString& path, bool directory) const
{
    QByteArray host = QUrl::toAce(m_server);
    if (host.isEmpty())
        host = m_server.toUtf8();
    if (host.contains(':'))
        host = '[' + host + ']';  // an IPv6 address
    QByteArray url = "ftp://" + host + ':' + QByteArray::number(m_port) + '/' + encodePath(path);
    if (directory && !url.endsWith('/'))
        url += '/';
    return url;
}

DirectResult DirectSession::checkOpen(const QStringList& names, bool allowEmpty) const
{
    if (!m_open)
        return failure(DirectError::NotOpen, QStringLiteral("Not connected: open the session first."));
    for (const QString& name : names) {
        if (name.isEmpty() && !allowEmpty)
            return failure(DirectError::InvalidArgument, QStringLiteral("No remote name given."));
        if (holdsLineBreak(name))
            return failure(DirectError::InvalidArgument,
                           QStringLiteral("The name %1 holds a line break, which FTP cannot carry.").arg(quoted(name)));
    }
    return {};
}

DirectResult DirectSession::open(const QString& server, int port, const QString& user, const QString& password,
                                 const QString& agent)
{
    close();
    const QString host = server.trimmed();
    if (host.isEmpty())
        return failure(DirectError::InvalidArgument, QStringLiteral("No server name given."));
    for (QChar c : host) {
        if (c.isSpace() || c == QLatin1Char('/') || c == QLatin1Char('@') || c == QLatin1Char('?')
            || c == QLatin1Char('#') || c == QLatin1Char('\\') || c.unicode() < 0x20)
            return failure(DirectError::InvalidArgument,
                           QStringLiteral("%1 is not a server name or address.").arg(quoted(host)));
    }
    if (port < 1 || port > 65535)
        return failure(DirectError::InvalidArgument,
                       QStringLiteral("The port must be a number from 1 to 65535 (got %1).").arg(port));
    if (holdsLineBreak(user) || holdsLineBreak(password))
        return failure(DirectError::InvalidArgument, QStringLiteral("The user name or password holds a line break."));

    m_server = host;
    m_port = port;
    m_user = user.isEmpty() ? QStringLiteral("anonymous") : user;
    m_password = user.isEmpty() && password.isEmpty() ? QStringLiteral("zephra@localhost") : password;
    m_agent = agent;
    m_connections = 0;
    m_curl = curl_easy_init();
    if (!m_curl)
        return failure(DirectError::Protocol, QStringLiteral("libcurl could not create a session."));

    qCDebug(lcDirect) << "opening" << m_server << m_port << "as" << m_user << "agent" << m_agent;
    Call call;
    call.kind = Call::Kind::Login;
    call.what = QStringLiteral("log in to %1 port %2").arg(m_server).arg(m_port);
    call.url = urlFor(QString(), true);
    m_open = true;  // perform() needs it; undone below on failure
    DirectResult r = perform(call);
    if (!r.ok()) {
        close();
        return r;
    }
    char* entry = nullptr;
    if (curl_easy_getinfo(handleOf(m_curl), CURLINFO_FTP_ENTRY_PATH, &entry) == CURLE_OK && entry)
        m_loginDirectory = QString::fromUtf8(entry);
    return r;
}

void DirectSession::close()
{
    if (m_curl) {
        // Say goodbye ourselves, waiting a short while only: libcurl's own QUIT at cleanup waits
        // as long as the reply time-out of the last operation, which would freeze a window
        // closing on a hung server. A connection the server already dropped gets no QUIT.
        if (m_open && !controlConnectionIsStale())
            sendQuit();
        curl_easy_cleanup(handleOf(m_curl));
        m_curl = nullptr;
    }
    m_open = false;
    m_loginDirectory.clear();
    m_password.fill(QLatin1Char('\0'));
    m_password.clear();
}

void DirectSession::sendQuit()
{
    CURL* c = handleOf(m_curl);
    curl_socket_t sock = CURL_SOCKET_BAD;
    if (curl_easy_getinfo(c, CURLINFO_ACTIVESOCKET, &sock) != CURLE_OK || sock == CURL_SOCKET_BAD)
        return;  // nothing to say goodbye on; do not connect just for that
    Call call;
    call.kind = Call::Kind::Command;
    call.what = QStringLiteral("say goodbye");
    call.url = urlFor(QString(), true);
    call.quote = {"QUIT"};
    const bool cancelled = m_cancel.exchange(false);  // a cancelled session still says goodbye
    const int replyTimeout = m_options.replyTimeoutMs;
    m_options.replyTimeoutMs = std::min(replyTimeout, kQuitWaitMs);
    const DirectResult r = perform(call);
    m_options.replyTimeoutMs = replyTimeout;
    if (cancelled)
        m_cancel.store(true);
    qCDebug(lcDirect) << "goodbye:" << (r.ok() ? QStringLiteral("done") : r.message);
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
    call.progress = &m_progress;
    call.cancel = &m_cancel;
    call.stallMs = m_options.stallTimeoutMs;

    // An idle control connection has nothing to say. When the server has spoken anyway or hung up
    // (pyftpdlib: "421 Control connection timed out." and close), libcurl would reuse it and
    // fail the operation on that 421; open a fresh one instead, which logs in again.
    const bool stale = call.kind != Call::Kind::Login && controlConnectionIsStale();
    if (stale)
        qCDebug(lcDirect) << "the server dropped the idle control connection; logging in again";
    const bool fresh = stale || std::exchange(m_freshConnection, false);

    const QByteArray user = m_user.toUtf8();
    const QByteArray password = m_password.toUtf8();
    curl_easy_setopt(c, CURLOPT_URL, call.url.constData());
    curl_easy_setopt(c, CURLOPT_PROTOCOLS_STR, "ftp");
    curl_easy_setopt(c, CURLOPT_USERNAME, user.constData());
    curl_easy_setopt(c, CURLOPT_PASSWORD, password.constData());
    curl_easy_setopt(c, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(c, CURLOPT_FTP_FILEMETHOD, long(CURLFTPMETHOD_NOCWD));
    curl_easy_setopt(c, CURLOPT_FTPPORT, m_options.active ? "-" : nullptr);
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
    if (lcDirect().isDebugEnabled()) {
        curl_easy_setopt(c, CURLOPT_VERBOSE, 1L);
        curl_easy_setopt(c, CURLOPT_DEBUGFUNCTION, &onDebug);
    }

    // The part file of an upload that was cancelled or broke off goes with the next operation
    // ("*": a failure of this command is ignored, the file may be gone already).
    const bool clearsLeftover = !m_leftoverPart.isEmpty() && call.kind != Call::Kind::Login;
    if (clearsLeftover)
        call.quote.prepend("*DELE " + m_leftoverPart);

    curl_slist* quote = nullptr;
    curl_slist* postQuote = nullptr;
    for (const QByteArray& q : call.quote)
        quote = curl_slist_append(quote, q.constData());
    for (const QByteArray& q : call.postQuote)
        postQuote = curl_slist_append(postQuote, q.constData());
    if (quote)
        curl_easy_setopt(c, CURLOPT_QUOTE, quote);
    if (postQuote)
        curl_easy_setopt(c, CURLOPT_POSTQUOTE, postQuote);

    switch (call.kind) {
    case Call::Kind::Login:
    case Call::Kind::Command:
        curl_easy_setopt(c, CURLOPT_NOBODY, 1L);
        break;
    case Call::Kind::Listing:
    case Call::Kind::Download:
        curl_easy_setopt(c, CURLOPT_WRITEFUNCTION, &onData);
        curl_easy_setopt(c, CURLOPT_WRITEDATA, &call);
        break;
    case Call::Kind::Upload:
        curl_easy_setopt(c, CURLOPT_UPLOAD, 1L);
        curl_easy_setopt(c, CURLOPT_READFUNCTION, &onUploadData);
        curl_easy_setopt(c, CURLOPT_READDATA, &call);
        curl_easy_setopt(c, CURLOPT_INFILESIZE_LARGE, curl_off_t(call.uploadSize));
        break;
    }
    if (call.kind == Call::Kind::Download || call.kind == Call::Kind::Upload)
        curl_easy_setopt(c, CURLOPT_TRANSFERTEXT, 0L);  // binary: TYPE I

    const CURLcode rc = curl_easy_perform(c);
    long connects = 0;
    if (curl_easy_getinfo(c, CURLINFO_NUM_CONNECTS, &connects) == CURLE_OK)
        m_connections += int(connects);
    curl_slist_free_all(quote);
    curl_slist_free_all(postQuote);
    // The handle keeps pointers to options until the next reset; none of them may outlive here.
    curl_easy_setopt(c, CURLOPT_ERRORBUFFER, nullptr);
    curl_easy_setopt(c, CURLOPT_QUOTE, nullptr);
    curl_easy_setopt(c, CURLOPT_POSTQUOTE, nullptr);

    if (rc == CURLE_OK) {
        if (clearsLeftover)
            m_leftoverPart.clear();
        return {};
    }

    // libcurl keeps the first message of a transfer in the error buffer. In active mode that is
    // a harmless note it writes on every data connection, "sa_addr inet_ntop() failed with
    // errno 97: Address family not supported by protocol", which says nothing about the failure.
    QString detail = QString::fromUtf8(call.errorBuffer);
    if (detail.isEmpty() || detail.startsWith(QLatin1String("sa_addr inet_ntop()")))
        detail = QString::fromUtf8(curl_easy_strerror(rc));
    const QString reply = call.failReply.isEmpty() ? call.lastReply : call.failReply;
    const int code = call.failCode ? call.failCode : call.lastCode;
    const QString cannot = QStringLiteral("Cannot %1").arg(call.what);
    qCDebug(lcDirect) << "failed:" << call.what << rc << detail << reply;
    // A transfer broken off on our side (cancel, stall, a local failure) can leave the server
    // waiting on its data connection; pyftpdlib then hands the next data connection to the old
    // transfer. The next operation therefore logs in on a fresh control connection.
    if ((call.kind == Call::Kind::Upload || call.kind == Call::Kind::Download || call.kind == Call::Kind::Listing)
        && (call.localFailure || rc == CURLE_ABORTED_BY_CALLBACK || rc == CURLE_OPERATION_TIMEDOUT))
        m_freshConnection = true;

    if (call.localFailure)
        return failure(DirectError::LocalFile, QStringLiteral("%1: the local data could not be %2.")
                                                   .arg(cannot, call.kind == Call::Kind::Upload ? QStringLiteral("read") : QStringLiteral("written")));
    if (rc == CURLE_ABORTED_BY_CALLBACK && call.stalled)
        return failure(DirectError::TimedOut, QStringLiteral("%1: no data moved for %2 s.").arg(cannot).arg(call.stallMs / 1000.0), code, reply);
    if (rc == CURLE_ABORTED_BY_CALLBACK && m_cancel.load())
        return failure(DirectError::Cancelled, QStringLiteral("Cancelled: %1.").arg(call.what), code, reply);

    switch (rc) {
    case CURLE_COULDNT_RESOLVE_HOST:
        return failure(DirectError::HostNotFound, QStringLiteral("%1: server name %2 not found.").arg(cannot, quoted(m_server)), 0, detail);
    case CURLE_COULDNT_CONNECT:
        return failure(DirectError::ConnectFailed,
                       QStringLiteral("%1: no FTP server answers at %2 port %3 (%4).").arg(cannot, m_server).arg(m_port).arg(detail),
                       0, detail);
    case CURLE_OPERATION_TIMEDOUT:
    case CURLE_FTP_ACCEPT_TIMEOUT:
        return failure(DirectError::TimedOut, QStringLiteral("%1: timed out (%2).").arg(cannot, detail), code, reply);
    case CURLE_LOGIN_DENIED:
        return failure(DirectError::LoginRefused,
                       QStringLiteral("%1: the server refused the login: %2").arg(cannot, reply.isEmpty() ? detail : reply), code, reply);
    case CURLE_REMOTE_FILE_NOT_FOUND:
        return failure(DirectError::NotFound, QStringLiteral("%1: the server has no such file: %2").arg(cannot, reply.isEmpty() ? detail : reply),
                       code, reply);
    case CURLE_QUOTE_ERROR:
    case CURLE_REMOTE_ACCESS_DENIED:
    case CURLE_UPLOAD_FAILED:
    case CURLE_FTP_COULDNT_RETR_FILE:
    case CURLE_FTP_COULDNT_SET_TYPE:
    case CURLE_FTP_COULDNT_USE_REST:
        return failure(DirectError::ServerRefused,
                       QStringLiteral("%1: the server answered: %2").arg(cannot, reply.isEmpty() ? detail : reply), code, reply);
    case CURLE_FTP_PORT_FAILED:
    case CURLE_FTP_ACCEPT_FAILED:
    case CURLE_FTP_CANT_GET_HOST:
    case CURLE_FTP_WEIRD_PASV_REPLY:
    case CURLE_FTP_WEIRD_227_FORMAT:
        return failure(DirectError::DataConnection,
                       QStringLiteral("%1: the data connection could not be opened (%2).").arg(cannot, reply.isEmpty() ? detail : reply),
                       code, reply);
    case CURLE_PARTIAL_FILE:
    case CURLE_RECV_ERROR:
    case CURLE_SEND_ERROR:
    case CURLE_GOT_NOTHING:
        return failure(DirectError::ConnectionLost, QStringLiteral("%1: the connection broke (%2).").arg(cannot, detail), code, reply);
    case CURLE_URL_MALFORMAT:
        return failure(DirectError::InvalidArgument, QStringLiteral("%1: the name cannot be sent (%2).").arg(cannot, detail), code, reply);
    default:
        break;
    }
    return failure(DirectError::Protocol, QStringLiteral("%1: %2").arg(cannot, reply.isEmpty() ? detail : detail + QStringLiteral(" (") + reply + QLatin1Char(')')),
                   code, reply.isEmpty() ? detail : reply);
}

DirectResult DirectSession::listRaw(const QString& directory, QByteArray* listing)
{
    if (DirectResult r = checkOpen({directory}, true); !r.ok())
        return r;
    listing->clear();
    bool tooLarge = false;
    const Consumer collect = [listing, &tooLarge](const char* data, qint64 size) {
        if (listing->size() + size > kMaxListingBytes) {
            tooLarge = true;  // a hostile server could otherwise fill the memory
            return false;
        }
        listing->append(data, size);
        return true;
    };
    Call call;
    call.kind = Call::Kind::Listing;
    call.what = directory.isEmpty() ? QStringLiteral("list the login directory") : QStringLiteral("list %1").arg(quoted(directory));
    QString dir = directory;
    while (dir.size() > 1 && dir.endsWith(QLatin1Char('/')))
        dir.chop(1);
    call.url = urlFor(dir, true);
    call.consumer = &collect;
    DirectResult r = perform(call);
    if (tooLarge) {
        listing->clear();
        r = failure(DirectError::Protocol, QStringLiteral("Cannot %1: the listing is larger than %2 MiB.")
                                               .arg(call.what).arg(kMaxListingBytes / (1024 * 1024)));
    }
    return r;
}

DirectResult DirectSession::list(const QString& directory, QList<DirectEntry>* entries)
{
    entries->clear();
    QByteArray raw;
    DirectResult r = listRaw(directory, &raw);
    if (r.ok())
        *entries = parseDirectListing(raw);
    return r;
}

DirectResult DirectSession::transferDown(const QString& remoteName, const Consumer& consumer)
{
    if (DirectResult r = checkOpen({remoteName}); !r.ok())
        return r;
    if (remoteName.isEmpty() || remoteName.endsWith(QLatin1Char('/')))
        return failure(DirectError::InvalidArgument, QStringLiteral("%1 is not a file name.").arg(quoted(remoteName)));
    Call call;
    call.kind = Call::Kind::Download;
    call.what = QStringLiteral("download %1").arg(quoted(remoteName));
    call.url = urlFor(remoteName, false);
    call.consumer = &consumer;
    return perform(call);
}

DirectResult DirectSession::getTo(const QString& remoteName, const Consumer& consumer)
{
    return transferDown(remoteName, consumer);
}

DirectResult DirectSession::get(const QString& remoteName, const QString& localPath)
{
    if (DirectResult r = checkOpen({remoteName}); !r.ok())
        return r;
    // QSaveFile writes beside the target and renames over it on commit(); without a commit the
    // temporary file goes and the target stays as it was.
    QSaveFile file(localPath);
    if (!file.open(QIODevice::WriteOnly))
        return failure(DirectError::LocalFile, QStringLiteral("Cannot download %1: cannot write %2: %3")
                                                   .arg(quoted(remoteName), localPath, file.errorString()),
                       0, file.errorString());
    QString writeError;
    const Consumer write = [&file, &writeError](const char* data, qint64 size) {
        if (file.write(data, size) == size)
            return true;
        writeError = file.errorString();
        return false;
    };
    DirectResult r = transferDown(remoteName, write);
    if (!r.ok()) {
        file.cancelWriting();
        if (r.error == DirectError::LocalFile)
            r = failure(DirectError::LocalFile, QStringLiteral("Cannot download %1: cannot write %2: %3")
                                                    .arg(quoted(remoteName), localPath, writeError), 0, writeError);
        return r;
    }
    if (!file.commit())
        return failure(DirectError::LocalFile, QStringLiteral("Cannot download %1: cannot write %2: %3")
                                                   .arg(quoted(remoteName), localPath, file.errorString()),
                       0, file.errorString());
    return r;
}

DirectResult DirectSession::put(const QString& localPath, const QString& remoteName)
{
    if (DirectResult r = checkOpen({remoteName}); !r.ok())
        return r;
    QFile file(localPath);
    if (!file.open(QIODevice::ReadOnly))
        return failure(DirectError::LocalFile, QStringLiteral("Cannot upload %1: cannot read %2: %3")
                                                   .arg(quoted(remoteName), localPath, file.errorString()),
                       0, file.errorString());
    QString readError;
    const Producer read = [&file, &readError](char* buffer, qint64 maxSize) {
        const qint64 n = file.read(buffer, maxSize);
        if (n < 0)
            readError = file.errorString();
        return n;
    };
    DirectResult r = putFrom(read, file.size(), remoteName);
    if (r.error == DirectError::LocalFile && !readError.isEmpty())
        r = failure(DirectError::LocalFile, QStringLiteral("Cannot upload %1: cannot read %2: %3")
                                                .arg(quoted(remoteName), localPath, readError), 0, readError);
    return r;
}

DirectResult DirectSession::putFrom(const Producer& producer, qint64 size, const QString& remoteName)
{
    if (DirectResult r = checkOpen({remoteName}); !r.ok())
        return r;
    if (remoteName.isEmpty() || remoteName.endsWith(QLatin1Char('/')))
        return failure(DirectError::InvalidArgument, QStringLiteral("%1 is not a file name.").arg(quoted(remoteName)));
    const bool viaPart = m_options.uploadViaTemporaryName;
    const QString target = viaPart ? remoteName + QLatin1String(kPartSuffix) : remoteName;

    Call call;
    call.kind = Call::Kind::Upload;
    call.what = QStringLiteral("upload %1").arg(quoted(remoteName));
    call.url = urlFor(target, false);
    call.producer = &producer;
    call.uploadSize = size;
    if (viaPart)
        call.postQuote = {"RNFR " + target.toUtf8(), "RNTO " + remoteName.toUtf8()};
    DirectResult r = perform(call);
    if (r.ok() || !viaPart)
        return r;
    if (call.transferDone && r.error == DirectError::ServerRefused)
        r.message = QStringLiteral("Cannot upload %1: the upload arrived as %2 but could not be renamed: %3")
                        .arg(quoted(remoteName), quoted(target), r.serverText);
    // Leave no half-written part file behind. When the connection is still good, delete it now;
    // after a cancel or a broken connection, the next operation takes it along.
    // A producer stopped by a cancel reports a local failure, but the session is cancelled too.
    if ((r.error != DirectError::ServerRefused && r.error != DirectError::LocalFile) || isCancelled()) {
        m_leftoverPart = target.toUtf8();
    } else {
        Call clean;
        clean.kind = Call::Kind::Command;
        clean.what = QStringLiteral("delete %1").arg(quoted(target));
        clean.url = urlFor(QString(), true);
        clean.quote = {"DELE " + target.toUtf8()};
        (void)perform(clean);
    }
    return r;
}

DirectResult DirectSession::quote(const QStringList& commands, const QString& what)
{
    Call call;
    call.kind = Call::Kind::Command;
    call.what = what;
    call.url = urlFor(QString(), true);
    for (const QString& c : commands)
        call.quote.append(c.toUtf8());
    return perform(call);
}

DirectResult DirectSession::makeDirectory(const QString& remoteName)
{
    if (DirectResult r = checkOpen({remoteName}); !r.ok())
        return r;
    return quote({QStringLiteral("MKD ") + remoteName}, QStringLiteral("create directory %1").arg(quoted(remoteName)));
}

DirectResult DirectSession::removeDirectory(const QString& remoteName)
{
    if (DirectResult r = checkOpen({remoteName}); !r.ok())
        return r;
    return quote({QStringLiteral("RMD ") + remoteName}, QStringLiteral("remove directory %1").arg(quoted(remoteName)));
}

DirectResult DirectSession::rename(const QString& fromName, const QString& toName)
{
    if (DirectResult r = checkOpen({fromName, toName}); !r.ok())
        return r;
    return quote({QStringLiteral("RNFR ") + fromName, QStringLiteral("RNTO ") + toName},
                 QStringLiteral("rename %1 to %2").arg(quoted(fromName), quoted(toName)));
}

DirectResult DirectSession::remove(const QString& remoteName)
{
    if (DirectResult r = checkOpen({remoteName}); !r.ok())
        return r;
    return quote({QStringLiteral("DELE ") + remoteName}, QStringLiteral("delete %1").arg(quoted(remoteName)));
}

}  // namespace zephra::ftp::direct
