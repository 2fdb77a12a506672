#pragma once
// The direct route: one FTP session on one libcurl easy handle.
//
// Reading list: RFC 959 (FTP), RFC 2428 (EPRT/EPSV), RFC 2389 (FEAT, OPTS), RFC 3659 (MLSD),
// RFC 4217 (FTP over TLS), libcurl's CURLOPT_FTP_FILEMETHOD, CURLOPT_QUOTE, CURLOPT_FTPPORT,
// CURLOPT_SOCKOPTFUNCTION, CURLOPT_XFERINFOFUNCTION, CURLOPT_USE_SSL and CURLOPT_SSL_CTX_FUNCTION
// pages, OpenSSL's SSL_CTX_set_verify.
//
// How the session works:
// - open() logs in at once (a no-body request on the login directory), so a wrong password, an
//   unknown name or a refused port is known when connecting. It asks FEAT what the server
//   offers, and sends OPTS UTF8 ON when that lists UTF8. The connection stays in the easy
//   handle's connection cache; every later operation reuses it and its login. When the server
//   has dropped it in between (an idle time-out), the next operation notices before it starts
//   and logs in again by itself.
// - Paths are the server's bytes (QByteArray), sent byte for byte. An absolute path starts with
//   "/"; a relative one is taken as relative to the login directory (the PWD reply at login,
//   loginDirectory()) and made absolute with it before use, so no operation depends on where an
//   earlier one left the server.
// - A directory is listed by changing into it (one CWD with the whole path) and listing with no
//   argument: servers read an argument to LIST as ls options or a pattern ("LIST -dashdir"
//   lists the login directory), and a missing directory is an error instead of an empty list.
//   MLSD when FEAT offers MLST, else LIST. Transfers change into the file's directory too and
//   name the file alone. Other commands (DELE, RNFR/RNTO, MKD, RMD) carry the absolute path.
// - Transfers are binary (TYPE I); data connections are active (EPRT, falling back to PORT)
//   unless DirectOptions::active is false (or TLS runs on a libcurl that cannot do it actively,
//   see usesActiveDataConnections()). An active data connection is taken only from the address
//   the control connection goes to.
// - TLS (DirectOptions::tls): explicit (AUTH TLS, then PBSZ 0 and PROT P) or implicit (TLS from
//   the first byte). Every data connection is TLS as well and resumes the control connection's
//   TLS session (libcurl's session cache), as servers that require reuse insist. Under
//   TlsMode::IfOffered the login first asks for TLS as Require does; only a server that refuses
//   AUTH gets a second, plain login. Whatever the login settled on holds for the session: a
//   later login (after an idle time-out) never falls back to plain. CCC is never sent.
//   The server's certificate is checked in one place, an OpenSSL verify callback: the system CA
//   store plus TlsOptions::caFile, and the host name; a certificate whose SHA-256 is in
//   trustedSha256 is taken as it is. Any other ends the open with DirectError::Certificate and
//   the certificate in DirectResult::certificate, before USER is sent.
// - Uploads go to the file's own name (STOR NAME). One broken off leaves what arrived on the
//   server, and the result says how much that was; nothing deletes it.
//
// Threading: every call is synchronous and blocks until the server has answered, so run the
// session on a worker thread (DirectWorker does that for the window). One thread at a time per
// session: the calls are not reentrant and must not overlap, although the session may move from
// one thread to another between calls. cancel() is the exception: it may be called from any
// thread at any time.

#include <QByteArray>
#include <QDateTime>
#include <QList>
#include <QString>
#include <QStringList>

#include "ftp/Tls.h"

#include <atomic>
#include <functional>
#include <memory>
#include <optional>

namespace zephra::ftp::direct {

namespace detail {
struct Call;
struct SocketCloser;
}

enum class DirectError {
    None,
    InvalidArgument,   // refused before any network traffic: empty server, bad port, CR/LF in a name
    NotOpen,           // the operation needs an open session
    HostNotFound,      // the server name does not resolve
    ConnectFailed,     // nothing answers on that address and port (refused, unreachable)
    TimedOut,          // connecting, waiting for a reply, or a stalled transfer took too long
    LoginRefused,      // the server refused the user name or the password
    ServerRefused,     // the server answered the operation with a failure reply
    NotFound,          // the server has no such file
    DataConnection,    // the data connection could not be set up (PORT/EPRT refused, no connect,
                       // a connection from a stranger)
    ConnectionLost,    // the server closed or broke a connection during the operation
    LocalFile,         // a local file could not be opened, read, written or put in place
    Cancelled,         // cancel() stopped the operation
    Protocol,          // the server's replies made no sense, or any other libcurl failure
    Certificate,       // the server's certificate did not verify and is not trusted by its fingerprint
    TlsRefused,        // TLS was required and the server refused AUTH TLS; nothing else was sent
    TlsHandshake,      // the control connection's TLS handshake failed (no common version or cipher,
                       // the server broke it off)
};

struct [[nodiscard]] DirectResult {
    DirectError error = DirectError::None;
    int replyCode = 0;    // the failing (or last) FTP reply code of the operation, 0 when none
    QString serverText;   // the failing (or last) server reply line, or the system's reason
    QString message;      // one line for a message box or stderr; empty on success
    // Transfers: whether the server took the transfer command (a 150/125 reply), and the bytes
    // that went over the data connection. After an upload broken off once it was taken, the
    // server holds an incomplete copy under the file's name: at most bytesTransferred bytes (a
    // server may drop what was still in flight when the connection broke; pyftpdlib does).
    bool transferStarted = false;
    qint64 bytesTransferred = 0;
    // Certificate: the server's certificate, for the question whether to trust it.
    PeerCertificate certificate;

    bool ok() const { return error == DirectError::None; }
};

// One entry of a directory listing.
struct DirectEntry {
    QString name;         // for showing: the bytes decoded
    QByteArray rawName;   // the server's bytes: what every command about this entry sends
    bool isDirectory = false;
    bool isLink = false;  // a symbolic link; name is the link's own name
    QString linkTarget;   // where a link points, when the listing says
    qint64 size = -1;     // -1 when the listing gave none
    QDateTime modified;   // invalid when the listing gave none; held as UTC, as ListingEntry holds it
    QString dateText;     // modified as "yyyy-MM-dd HH:mm" (a true UTC time in local time), empty when none
    bool guessed = false; // no known listing shape explained the line; name and type are a guess
};

struct DirectOptions {
    int connectTimeoutMs = 20000;  // opening the control connection (and name lookup)
    int replyTimeoutMs = 20000;    // longest wait for any server reply or data connection
    int stallTimeoutMs = 20000;    // a transfer (or listing) that moves no byte this long fails
    bool active = true;            // EPRT/PORT data connections; false: EPSV/PASV
    // Plain unless the caller asks: the window and the command-line tool set it from the
    // profile or the command line.
    TlsOptions tls = [] {
        TlsOptions plain;
        plain.mode = TlsMode::Plain;
        return plain;
    }();
};

// Transfer progress: bytes moved so far and the expected total (-1 when unknown).
using ProgressHandler = std::function<void(qint64 done, qint64 total)>;
// One line of the conversation: a command sent (sent true; a password shown as "PASS ****") or a
// reply line received, without its line break. Never data, never TLS bytes.
using ProtocolLineHandler = std::function<void(const QString& line, bool sent)>;
// Receives downloaded bytes in order; return false to stop (reported as a LocalFile error).
using Consumer = std::function<bool(const char* data, qint64 size)>;
// Fills buffer with up to maxSize bytes to upload; returns the count, 0 at the end, -1 on a
// failure (reported as a LocalFile error).
using Producer = std::function<qint64(char* buffer, qint64 maxSize)>;

class DirectSession final {
public:
    explicit DirectSession(DirectOptions options = {});
    ~DirectSession();  // closes the session
    DirectSession(const DirectSession&) = delete;
    DirectSession& operator=(const DirectSession&) = delete;

    // Connects and logs in; an open session is closed first. An empty user logs in as
    // "anonymous". The agent name identifies the session in logs; FTP does not send it.
    DirectResult open(const QString& server, int port, const QString& user, const QString& password,
                      const QString& agent = QString());
    bool isOpen() const { return m_open; }
    // The directory the server put the session in at login (its PWD reply, as bytes), e.g. "/"
    // or "/home/u"; empty when the server did not say.
    QByteArray loginDirectory() const { return m_loginDirectory; }
    // path made absolute: relative paths (and the empty path) are taken from the login
    // directory. Unchanged when the login directory is unknown or not absolute.
    QByteArray absolutePath(const QByteArray& path) const;
    QString agent() const { return m_agent; }
    // Whether FEAT offered these (known after open()).
    bool serverOffersUtf8() const { return m_offersUtf8; }
    bool serverOffersMlsd() const { return m_mlsd; }
    // Whether the session runs over TLS (known after open(); under IfOffered false when the
    // server refused AUTH and the session went on in plain).
    bool isTlsActive() const { return m_open && m_tlsActive; }
    // Whether data connections are active (EPRT/PORT): DirectOptions::active, except over TLS
    // with a libcurl older than 8.0, which cannot start TLS on an active data connection; those
    // sessions take passive ones.
    bool usesActiveDataConnections() const;

    // Changes into the directory and nothing else: ok means it exists and may be entered.
    DirectResult enterDirectory(const QByteArray& directory);
    // Lists a directory (empty: the login directory) by changing into it. "." and ".." are
    // left out.
    DirectResult list(const QByteArray& directory, QList<DirectEntry>* entries);
    // The raw listing text of a directory (MLSD lines when the server offers them, else LIST
    // lines), as the server sent it; at most kMaxListingBytes.
    DirectResult listRaw(const QByteArray& directory, QByteArray* listing);

    // Downloads into a temporary file beside localPath, which replaces localPath only when the
    // whole file has arrived; on any failure localPath is left as it was.
    DirectResult get(const QByteArray& remotePath, const QString& localPath);
    // from > 0 resumes: REST from, then RETR; the consumer gets the bytes from there on.
    DirectResult getTo(const QByteArray& remotePath, const Consumer& consumer, qint64 from = 0);
    // The first n bytes of a file (all of it when shorter) into firstBytes; the transfer stops
    // there. A file's header, read before a resume.
    DirectResult peek(const QByteArray& remotePath, qint64 n, QByteArray* firstBytes);
    DirectResult put(const QString& localPath, const QByteArray& remotePath);
    // size: the number of bytes the producer will give, or -1 when unknown. from > 0 resumes:
    // the server's copy holds the first `from` bytes and the producer's bytes are appended (APPE).
    DirectResult putFrom(const Producer& producer, qint64 size, const QByteArray& remotePath, qint64 from = 0);

    DirectResult makeDirectory(const QByteArray& remotePath);
    DirectResult removeDirectory(const QByteArray& remotePath);
    DirectResult rename(const QByteArray& fromPath, const QByteArray& toPath);
    DirectResult remove(const QByteArray& remotePath);

    // Says goodbye (QUIT, waiting at most 2 s for the answer) when the connection is still there
    // and forgets the session. Never fails: a connection the server already dropped is simply
    // let go. Safe to call on a closed session.
    void close();

    // Called from the thread running the operation, often; keep it cheap.
    void setProgressHandler(ProgressHandler handler) { m_progress = std::move(handler); }
    // Called from the thread running the operation, for every command and reply line.
    void setProtocolLineHandler(ProtocolLineHandler handler) { m_protocolLine = std::move(handler); }

    // Asks the running operation to stop; it returns Cancelled within about a second. The
    // request sticks: every operation (not close()) fails with Cancelled until resetCancel().
    // Any thread.
    void cancel() { m_cancel.store(true); }
    void resetCancel() { m_cancel.store(false); }
    bool isCancelled() const { return m_cancel.load(); }

    // How many control connections libcurl has opened for this session since open(): 1 while
    // the first login is being reused.
    int connectionsOpened() const { return m_connections; }

    const DirectOptions& options() const { return m_options; }

private:
    DirectResult perform(detail::Call& call);
    DirectResult resultOf(int curlCode, const detail::Call& call);  // also notes a broken-off transfer
    DirectResult transferDown(const QByteArray& remotePath, const Consumer& consumer, qint64 from = 0);
    DirectResult command(const QList<QByteArray>& commands, const QString& what);
    void anchorRelative(const QByteArray& path, const std::optional<QByteArray>& changesInto);
    bool controlConnectionIsStale() const;
    bool hasControlConnection() const;
    void sendQuit();
    DirectResult closeFailed(const DirectResult& result);
    DirectResult checkOpen(const QList<QByteArray>& paths, bool allowEmpty = false) const;
    DirectResult checkFilePath(const QByteArray& path) const;
    QByteArray urlFor(const QByteArray& path, bool directory) const;
    DirectResult login(detail::Call& call);
    bool usesTls() const;

    DirectOptions m_options;
    void* m_curl = nullptr;  // CURL*, kept opaque so users of this header need no curl headers
    std::unique_ptr<detail::SocketCloser> m_closer;  // closes the sockets of a TLS session
    bool m_open = false;
    QString m_server;
    int m_port = 21;
    QString m_user;
    QString m_password;
    QString m_agent;
    QByteArray m_loginDirectory;
    bool m_offersUtf8 = false;  // FEAT listed UTF8
    bool m_utf8 = false;        // OPTS UTF8 ON was taken: every new control connection sends it first
    bool m_mlsd = false;        // FEAT listed MLST: listings use MLSD
    bool m_tlsActive = false;   // the login settled on TLS: every later login asks for it too
    int m_tlsVersion = 0;       // the control connection's TLS version, as OpenSSL numbers it
    // With no login directory known, relative paths depend on where the server is; once a
    // transfer has changed directory, such a path is used on a fresh login.
    bool m_leftLoginDirectory = false;
    int m_connections = 0;
    bool m_freshConnection = false;  // a transfer was broken off: the next operation logs in anew
    ProgressHandler m_progress;
    ProtocolLineHandler m_protocolLine;
    std::atomic<bool> m_cancel{false};
};

// The text of an error kind, for logs and tests ("LoginRefused").
QString errorName(DirectError error);

}  // namespace zephra::ftp::direct
