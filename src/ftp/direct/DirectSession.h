#pragma once
// The direct route: one FTP session on one libcurl easy handle.
//
// Reading list: RFC 959 (FTP), RFC 2428 (EPRT/EPSV), libcurl's CURLOPT_QUOTE, CURLOPT_FTPPORT,
// CURLOPT_FTP_FILEMETHOD and CURLOPT_XFERINFOFUNCTION pages.
//
// How the session works:
// - open() logs in at once (a no-body request on the login directory), so a wrong password, an
//   unknown name or a refused port is known when connecting. The connection stays in the easy
//   handle's connection cache; every later operation reuses it and its login. When the server
//   has dropped it in between (an idle time-out), the next operation notices before it starts
//   and logs in again by itself.
// - libcurl is told never to change directory (CURLFTPMETHOD_NOCWD): every command carries the
//   whole path, so the server's current directory stays the login directory for the session's
//   life. A relative name is therefore relative to the login directory, an absolute one to the
//   server's root, and directories at any depth are reachable.
// - Transfers are binary (TYPE I); data connections are active (EPRT, falling back to PORT)
//   unless DirectOptions::active is false.
// - Directory operations go through CURLOPT_QUOTE, whose replies libcurl checks: a failure reply
//   (4xx/5xx) ends the operation with the server's text in the result.
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

#include <atomic>
#include <functional>
#include <memory>

namespace zephra::ftp::direct {

namespace detail {
struct Call;
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
    DataConnection,    // the data connection could not be set up (PORT/EPRT refused, no connect)
    ConnectionLost,    // the server closed or broke a connection during the operation
    LocalFile,         // a local file could not be opened, read, written or put in place
    Cancelled,         // cancel() stopped the operation
    Protocol,          // the server's replies made no sense, or any other libcurl failure
};

struct [[nodiscard]] DirectResult {
    DirectError error = DirectError::None;
    int replyCode = 0;    // the last FTP reply code seen for the operation, 0 when none
    QString serverText;   // the failing (or last) server reply line, or the system's reason
    QString message;      // one line for a message box or stderr; empty on success

    bool ok() const { return error == DirectError::None; }
};

// One entry of a directory listing.
struct DirectEntry {
    QString name;
    bool isDirectory = false;
    bool isLink = false;  // a symbolic link; name is the link's own name
    qint64 size = -1;     // -1 when the listing gave none
    QDateTime modified;   // invalid when the listing gave none
    QString dateText;     // modified as "yyyy-MM-dd HH:mm", empty when none
};

struct DirectOptions {
    int connectTimeoutMs = 20000;  // opening the control connection (and name lookup)
    int replyTimeoutMs = 20000;    // longest wait for any server reply or data connection
    int stallTimeoutMs = 20000;    // a transfer (or listing) that moves no byte this long fails
    bool active = true;            // EPRT/PORT data connections; false: EPSV/PASV
    // Uploads go to "<name>.zephra-part" and are renamed over the target only when complete,
    // so a failed upload never leaves the server's existing file truncated. The part file of a
    // failed upload is deleted at once, or (after a cancel or a broken connection) by the next
    // operation of the session.
    bool uploadViaTemporaryName = true;
};

// Transfer progress: bytes moved so far and the expected total (-1 when unknown).
using ProgressHandler = std::function<void(qint64 done, qint64 total)>;
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
    // The directory the server put the session in at login (its PWD reply), e.g. "/" or "/home/u".
    QString loginDirectory() const { return m_loginDirectory; }
    QString agent() const { return m_agent; }

    // Lists a directory: empty for the login directory, else a server path (relative to the
    // login directory, or absolute). "." and ".." are left out.
    DirectResult list(const QString& directory, QList<DirectEntry>* entries);
    // The raw LIST text of a directory, as the server sent it.
    DirectResult listRaw(const QString& directory, QByteArray* listing);

    // Downloads into a temporary file beside localPath, which replaces localPath only when the
    // whole file has arrived; on any failure localPath is left as it was.
    DirectResult get(const QString& remoteName, const QString& localPath);
    DirectResult getTo(const QString& remoteName, const Consumer& consumer);
    DirectResult put(const QString& localPath, const QString& remoteName);
    // size: the number of bytes the producer will give, or -1 when unknown.
    DirectResult putFrom(const Producer& producer, qint64 size, const QString& remoteName);

    DirectResult makeDirectory(const QString& remoteName);
    DirectResult removeDirectory(const QString& remoteName);
    DirectResult rename(const QString& fromName, const QString& toName);
    DirectResult remove(const QString& remoteName);

    // Says goodbye (QUIT, waiting at most 2 s for the answer) when the connection is still there
    // and forgets the session. Never fails: a connection the server already dropped is simply
    // let go. Safe to call on a closed session.
    void close();

    // Called from the thread running the operation, often; keep it cheap.
    void setProgressHandler(ProgressHandler handler) { m_progress = std::move(handler); }

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
    DirectResult transferDown(const QString& remoteName, const Consumer& consumer);
    DirectResult quote(const QStringList& commands, const QString& what);
    bool controlConnectionIsStale() const;
    void sendQuit();
    DirectResult checkOpen(const QStringList& names, bool allowEmpty = false) const;
    QByteArray urlFor(const QString& path, bool directory) const;

    DirectOptions m_options;
    void* m_curl = nullptr;  // CURL*, kept opaque so users of this header need no curl headers
    bool m_open = false;
    QString m_server;
    int m_port = 21;
    QString m_user;
    QString m_password;
    QString m_agent;
    QString m_loginDirectory;
    int m_connections = 0;
    QByteArray m_leftoverPart;  // part file of a broken-off upload, deleted by the next operation
    bool m_freshConnection = false;  // a transfer was broken off: the next operation logs in anew
    ProgressHandler m_progress;
    std::atomic<bool> m_cancel{false};
};

// The text of an error kind, for logs and tests ("LoginRefused").
QString errorName(DirectError error);

}  // namespace zephra::ftp::direct
