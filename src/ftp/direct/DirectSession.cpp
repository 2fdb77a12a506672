// The direct route's operations: logging in and out, and what each operation sends. The libcurl
// work itself is in DirectPerform.cpp.

#include "ftp/direct/DirectSession.h"

#include "ftp/ListingLimit.h"
#include "ftp/LocalFile.h"
#include "ftp/direct/DirectCall.h"
#include "ftp/direct/DirectListing.h"
#include "ftp/direct/RemoteName.h"

#include <QFile>
#include <QUrl>

#include <algorithm>
#include <mutex>

namespace zephra::ftp::direct {

using detail::Call;

namespace {

constexpr int kQuitWaitMs = 2000;  // how long close() waits for the reply to QUIT

void initCurlOnce()
{
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

bool holdsLineBreak(const QString& s)
{
    return s.contains(QLatin1Char('\r')) || s.contains(QLatin1Char('\n')) || s.contains(QChar(0));
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
    case DirectError::Certificate: return QStringLiteral("Certificate");
    case DirectError::TlsRefused: return QStringLiteral("TlsRefused");
    case DirectError::TlsHandshake: return QStringLiteral("TlsHandshake");
    }
    return QStringLiteral("Unknown");
}

DirectSession::DirectSession(DirectOptions options)
    : m_options(options)
    , m_closer(std::make_unique<detail::SocketCloser>())
{
    initCurlOnce();
}

DirectSession::~DirectSession()
{
    close();
}

QByteArray DirectSession::absolutePath(const QByteArray& path) const
{
    if (path.startsWith('/') || !m_loginDirectory.startsWith('/'))
        return path;
    return path.isEmpty() ? m_loginDirectory : childPath(m_loginDirectory, path);
}

QByteArray DirectSession::urlFor(const QByteArray& path, bool directory) const
{
    QByteArray host = QUrl::toAce(m_server);
    if (host.isEmpty())
        host = m_server.toUtf8();
    if (host.contains(':'))
        host = '[' + host + ']';  // an IPv6 address
    QByteArray url = (m_options.tls.implicit ? "ftps://" : "ftp://") + host + ':' + QByteArray::number(m_port) + '/' + urlPathOf(path);
    if (directory && !path.isEmpty() && !url.endsWith('/'))
        url += '/';
    return url;
}

DirectResult DirectSession::checkOpen(const QList<QByteArray>& paths, bool allowEmpty) const
{
    if (!m_open)
        return failure(DirectError::NotOpen, QStringLiteral("Not connected: open the session first."));
    for (const QByteArray& path : paths) {
        if (path.isEmpty() && !allowEmpty)
            return failure(DirectError::InvalidArgument, QStringLiteral("No remote name given."));
        if (holdsLineBreak(path))
            return failure(DirectError::InvalidArgument,
                           QStringLiteral("The name %1 holds a line break, which FTP cannot carry.").arg(quoted(path)));
    }
    return {};
}

DirectResult DirectSession::checkFilePath(const QByteArray& path) const
{
    if (DirectResult r = checkOpen({path}); !r.ok())
        return r;
    if (path.endsWith('/'))
        return failure(DirectError::InvalidArgument, QStringLiteral("%1 is not a file name.").arg(quoted(path)));
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
    m_open = true;  // perform() needs it; undone below on failure
    // IfOffered asks as Require does, so a server that takes AUTH TLS gets no chance to see the
    // password in the clear; only a refused AUTH is worth a second, plain login.
    const TlsOptions& tls = m_options.tls;
    m_tlsActive = tls.implicit || tls.mode != TlsMode::Plain;
    Call call;
    DirectResult r = login(call);
    if (r.error == DirectError::TlsRefused && !call.authAccepted && tls.mode == TlsMode::IfOffered && !tls.implicit) {
        qCDebug(lcDirect) << "the server refused TLS; logging in plain:" << r.serverText;
        m_tlsActive = false;
        m_freshConnection = true;
        m_connections = 0;  // counts the session's own logins: the refused one is not one
        call = Call();
        r = login(call);
    }
    if (!r.ok())
        return closeFailed(r);
    char* entry = nullptr;
    if (curl_easy_getinfo(static_cast<CURL*>(m_curl), CURLINFO_FTP_ENTRY_PATH, &entry) == CURLE_OK && entry)
        m_loginDirectory = QByteArray(entry);
    const ServerFeatures features = parseFeatures(call.replyLines);
    m_mlsd = features.mlsd;
    m_offersUtf8 = features.utf8;
    if (features.utf8) {
        // Names are sent as the server's bytes either way; this asks servers that convert names
        // to a local code page to leave them as UTF-8. A server that refuses it (pyftpdlib:
        // "501 Invalid argument.") is used as it is.
        const DirectResult utf8 = command({"*OPTS UTF8 ON"}, QStringLiteral("switch to UTF-8 names"));
        if (!utf8.ok())
            return closeFailed(utf8);
        m_utf8 = utf8.replyCode >= 200 && utf8.replyCode < 300;  // then every new login says it too
    }
    return r;
}

DirectResult DirectSession::login(Call& call)
{
    call.kind = Call::Kind::Login;
    call.what = QStringLiteral("log in to %1 port %2").arg(m_server).arg(m_port);
    call.url = urlFor(QByteArray(), true);
    call.quote = {"*FEAT"};  // "*": a server that knows no FEAT offers nothing, and that is all
    return perform(call);
}

bool DirectSession::usesTls() const
{
    return m_tlsActive;
}

bool DirectSession::usesActiveDataConnections() const
{
    // libcurl 7.87 and 7.88 accept an active data connection but never start TLS on it, and the
    // transfer hangs until the time-out (fixed in libcurl 8.0.0). Debian 12 ships 7.88.1. Over
    // TLS such a libcurl takes passive data connections instead: working beats hanging.
    static const bool activeTlsWorks = curl_version_info(CURLVERSION_NOW)->version_num >= 0x080000;
    return m_options.active && (!usesTls() || activeTlsWorks);
}

DirectResult DirectSession::closeFailed(const DirectResult& result)
{
    close();
    return result;
}

void DirectSession::close()
{
    if (m_curl) {
        // Say goodbye ourselves, waiting a short while only: libcurl's own QUIT at cleanup waits
        // as long as the reply time-out of the last operation, which would freeze a window
        // closing on a hung server. A connection the server already dropped gets no QUIT.
        // After a transfer broken off, the connection is no longer worth a goodbye either.
        if (m_open && !m_freshConnection && !controlConnectionIsStale())
            sendQuit();
        curl_easy_cleanup(static_cast<CURL*>(m_curl));
        m_curl = nullptr;
    }
    m_open = false;
    m_loginDirectory.clear();
    m_offersUtf8 = false;
    m_utf8 = false;
    m_mlsd = false;
    m_tlsActive = false;
    m_tlsVersion = 0;
    m_leftLoginDirectory = false;
    m_freshConnection = false;
    m_password.fill(QLatin1Char('\0'));
    m_password.clear();
}

void DirectSession::sendQuit()
{
    if (!hasControlConnection())
        return;  // nothing to say goodbye on; do not connect just for that
    const bool cancelled = m_cancel.exchange(false);  // a cancelled session still says goodbye
    const int replyTimeout = m_options.replyTimeoutMs;
    m_options.replyTimeoutMs = std::min(replyTimeout, kQuitWaitMs);
    const DirectResult r = command({"QUIT"}, QStringLiteral("say goodbye"));
    m_options.replyTimeoutMs = replyTimeout;
    if (cancelled)
        m_cancel.store(true);
    qCDebug(lcDirect) << "goodbye:" << (r.ok() ? QStringLiteral("done") : r.message);
}

void DirectSession::anchorRelative(const QByteArray& path, const std::optional<QByteArray>& changesInto)
{
    // With an absolute login directory every path sent is absolute, and nothing depends on where
    // the server is. Without one, a relative path means "from where the login put us", which
    // holds only until an operation changed directory; the next one that needs it logs in anew.
    if (m_loginDirectory.startsWith('/'))
        return;
    if (!path.startsWith('/') && m_leftLoginDirectory) {
        m_freshConnection = true;
        m_leftLoginDirectory = false;
    }
    if (changesInto)
        m_leftLoginDirectory = !changesInto->isEmpty();
}

DirectResult DirectSession::command(const QList<QByteArray>& commands, const QString& what)
{
    Call call;
    call.kind = Call::Kind::Command;
    call.what = what;
    // The root as an absolute path: under NOCWD libcurl then sends no CWD at all.
    call.url = urlFor("/", true);
    call.quote = commands;
    return perform(call);
}

DirectResult DirectSession::enterDirectory(const QByteArray& directory)
{
    if (DirectResult r = checkOpen({directory}, true); !r.ok())
        return r;
    const QByteArray absolute = absolutePath(directory);
    Call call;
    call.kind = Call::Kind::EnterDirectory;
    call.what = QStringLiteral("open the directory %1").arg(quoted(absolute));
    call.url = urlFor(absolute, true);
    anchorRelative(absolute, absolute);
    return perform(call);
}

DirectResult DirectSession::listRaw(const QByteArray& directory, QByteArray* listing)
{
    listing->clear();
    if (DirectResult r = checkOpen({directory}, true); !r.ok())
        return r;
    const QByteArray absolute = absolutePath(directory);
    bool tooLarge = false;
    ListingMeter meter;
    const Consumer collect = [listing, &tooLarge, &meter](const char* data, qint64 size) {
        if (!meter.add(QByteArrayView(data, size))) {
            tooLarge = true;  // a hostile server could otherwise fill the memory
            return false;
        }
        listing->append(data, size);
        return true;
    };
    Call call;
    call.kind = Call::Kind::Listing;
    call.what = QStringLiteral("list %1").arg(absolute.isEmpty() ? QStringLiteral("the login directory") : quoted(absolute));
    call.url = urlFor(absolute, true);
    call.consumer = &collect;
    if (m_mlsd)
        call.customRequest = "MLSD";  // exact names, types, sizes and times; no guessing
    anchorRelative(absolute, absolute);
    DirectResult r = perform(call);
    if (tooLarge) {
        listing->clear();
        r = failure(DirectError::Protocol, listingTooLargeMessage(call.what));
    } else if (!r.ok()) {
        listing->clear();
    }
    return r;
}

DirectResult DirectSession::list(const QByteArray& directory, QList<DirectEntry>* entries)
{
    entries->clear();
    QByteArray raw;
    DirectResult r = listRaw(directory, &raw);
    if (r.ok())
        *entries = parseDirectListing(raw);
    return r;
}

DirectResult DirectSession::transferDown(const QByteArray& remotePath, const Consumer& consumer, qint64 from)
{
    if (DirectResult r = checkFilePath(remotePath); !r.ok())
        return r;
    const QByteArray absolute = absolutePath(remotePath);
    Call call;
    call.kind = Call::Kind::Download;
    call.what = QStringLiteral("download %1").arg(quoted(remotePath));
    call.url = urlFor(absolute, false);
    call.consumer = &consumer;
    call.from = from;
    anchorRelative(absolute, parentPath(absolute));
    return perform(call);
}

DirectResult DirectSession::getTo(const QByteArray& remotePath, const Consumer& consumer, qint64 from)
{
    return transferDown(remotePath, consumer, from);
}

DirectResult DirectSession::peek(const QByteArray& remotePath, qint64 n, QByteArray* firstBytes)
{
    firstBytes->clear();
    if (DirectResult r = checkFilePath(remotePath); !r.ok())
        return r;
    if (n <= 0)
        return {};
    const QByteArray absolute = absolutePath(remotePath);
    // The consumer keeps n bytes at most, whatever the server sends before the stop takes.
    const Consumer keep = [firstBytes, n](const char* data, qint64 size) {
        firstBytes->append(data, qsizetype(qMin(size, n - firstBytes->size())));
        return true;
    };
    Call call;
    call.kind = Call::Kind::Download;
    call.what = QStringLiteral("read the start of %1").arg(quoted(remotePath));
    call.url = urlFor(absolute, false);
    call.consumer = &keep;
    call.firstBytes = n;
    anchorRelative(absolute, parentPath(absolute));
    DirectResult r = perform(call);
    // libcurl closed the control connection after the partial download.
    m_freshConnection = true;
    return r;
}

DirectResult DirectSession::get(const QByteArray& remotePath, const QString& localPath)
{
    if (DirectResult r = checkFilePath(remotePath); !r.ok())
        return r;
    // The one way a download replaces a local file: a temporary file beside the target, which
    // replaces it (keeping its permission bits, never writing through a link) only once the
    // whole file has arrived; on any failure the target stays as it was.
    const auto cannotWrite = [&](const QString& why, const DirectResult& moved) {
        DirectResult r = failure(DirectError::LocalFile, QStringLiteral("Cannot download %1: %2").arg(quoted(remotePath), why), 0, why);
        r.transferStarted = moved.transferStarted;
        r.bytesTransferred = moved.bytesTransferred;
        return r;
    };
    LocalFileReplacement file(localPath);
    QString error;
    if (!file.open(&error))
        return cannotWrite(error, {});
    QIODevice* out = file.device();
    const Consumer write = [out, &error](const char* data, qint64 size) {
        if (out->write(data, size) == size)
            return true;
        error = out->errorString();
        return false;
    };
    DirectResult r = transferDown(remotePath, write);
    if (!r.ok()) {
        file.discard();
        if (r.error == DirectError::LocalFile)
            return cannotWrite(QStringLiteral("cannot write %1: %2").arg(localPath, error), r);
        return r;
    }
    if (!file.commit(&error))
        return cannotWrite(error, r);
    return r;
}

DirectResult DirectSession::put(const QString& localPath, const QByteArray& remotePath)
{
    if (DirectResult r = checkFilePath(remotePath); !r.ok())
        return r;
    QFile file(localPath);
    if (!file.open(QIODevice::ReadOnly))
        return failure(DirectError::LocalFile, QStringLiteral("Cannot upload %1: cannot read %2: %3")
                                                   .arg(quoted(remotePath), localPath, file.errorString()),
                       0, file.errorString());
    QString readError;
    const Producer read = [&file, &readError](char* buffer, qint64 maxSize) {
        const qint64 n = file.read(buffer, maxSize);
        if (n < 0)
            readError = file.errorString();
        return n;
    };
    DirectResult r = putFrom(read, file.size(), remotePath);
    if (r.error == DirectError::LocalFile && !readError.isEmpty())
        r.message = QStringLiteral("Cannot upload %1: cannot read %2: %3").arg(quoted(remotePath), localPath, readError);
    return r;
}

DirectResult DirectSession::putFrom(const Producer& producer, qint64 size, const QByteArray& remotePath, qint64 from)
{
    if (DirectResult r = checkFilePath(remotePath); !r.ok())
        return r;
    // Straight to the file's own name: a drop box allows STOR but neither rename nor delete, and
    // a replaced file keeps the permissions it had on the server.
    const QByteArray absolute = absolutePath(remotePath);
    Call call;
    call.kind = Call::Kind::Upload;
    call.what = QStringLiteral("upload %1").arg(quoted(remotePath));
    call.url = urlFor(absolute, false);
    call.producer = &producer;
    call.uploadSize = size;
    call.from = from;
    anchorRelative(absolute, parentPath(absolute));
    return perform(call);
}

DirectResult DirectSession::makeDirectory(const QByteArray& remotePath)
{
    if (DirectResult r = checkOpen({remotePath}); !r.ok())
        return r;
    anchorRelative(absolutePath(remotePath), std::nullopt);
    return command({"MKD " + absolutePath(remotePath)}, QStringLiteral("create directory %1").arg(quoted(remotePath)));
}

DirectResult DirectSession::removeDirectory(const QByteArray& remotePath)
{
    if (DirectResult r = checkOpen({remotePath}); !r.ok())
        return r;
    anchorRelative(absolutePath(remotePath), std::nullopt);
    return command({"RMD " + absolutePath(remotePath)}, QStringLiteral("remove directory %1").arg(quoted(remotePath)));
}

DirectResult DirectSession::rename(const QByteArray& fromPath, const QByteArray& toPath)
{
    if (DirectResult r = checkOpen({fromPath, toPath}); !r.ok())
        return r;
    const QByteArray from = absolutePath(fromPath);
    const QByteArray to = absolutePath(toPath);
    anchorRelative(from.startsWith('/') ? to : from, std::nullopt);
    return command({"RNFR " + from, "RNTO " + to},
                   QStringLiteral("rename %1 to %2").arg(quoted(fromPath), quoted(toPath)));
}

DirectResult DirectSession::remove(const QByteArray& remotePath)
{
    if (DirectResult r = checkOpen({remotePath}); !r.ok())
        return r;
    anchorRelative(absolutePath(remotePath), std::nullopt);
    return command({"DELE " + absolutePath(remotePath)}, QStringLiteral("delete %1").arg(quoted(remotePath)));
}

}  // namespace zephra::ftp::direct
