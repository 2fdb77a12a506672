#pragma once
// The FTP engine. One Connection is one session with a server: a control channel, a data channel
// per transfer, and one state machine that knows the protocol. Every operation returns at once and
// reports its outcome exactly once through finished(); the engine never blocks its thread.
// Reading list: RFC 959 (FTP), RFC 1123 4.1 (FTP requirements), RFC 2389 (FEAT), RFC 3659 (SIZE,
// MLSD), RFC 2640 (UTF8), RFC 2577 (security).
//
//   Connection ftp;                                   // passive ("PASV") unless ConnectionMode "PORT"
//   connect(&ftp, &Connection::finished, this, [](const Result& r) { if (!r.ok()) show(r.description); });
//   connect(&ftp, &Connection::transferProgress, bar, ...);   // bytes, total (-1 unknown)
//   ftp.Connect(host, "21", user, password);          // then, after finished(): TransferType(0), ...
//   ftp.ChangeDirectory(entry.rawName);               // CWD, then PWD: currentDirectory() is confirmed
//   ftp.GetFile(entry.rawName, "/home/me/remote.bin"); // or GetFile(name, consumerDevice)
//   ftp.cancel();                                     // finished() reports Cancelled; the session stays
//
// Names and paths are the server's bytes. The QByteArray overloads send them as they are (a name
// from a listing, a PWD reply); the QString ones send the text as UTF-8 (a name the user typed).
//
// The login is USER, PASS, FEAT, OPTS UTF8 ON (when FEAT lists UTF8) and PWD. The server's current
// directory is known only from its PWD replies: after the login and after every successful
// directory change; a change that was cancelled or broke off halfway leaves it unknown (empty).
//
// One operation at a time: a call while another runs is answered with ErrorKind::Busy. A consumer
// device must take every block written to it (at most kBlockSize bytes at once); a producer device
// that is sequential may return 0 from read() until its readyRead() and ends at atEnd().
//
// FTP over TLS (RFC 4217; ftp/Tls.h): setTlsOptions() before Connect(). Explicit TLS sends AUTH
// TLS after the greeting, then PBSZ 0 and PROT P, then the login; implicit TLS handshakes first.
// Under TlsMode::Require nothing but AUTH goes out before TLS is up; a refusal ends the connect
// with ErrorKind::TlsRefused. A certificate that neither verifies nor is trusted ends it with
// ErrorKind::Certificate before USER, and peerCertificate() tells the user what was offered.
// Every data connection handshakes as a TLS client resuming the control connection's session
// with the newest ticket the server gave. CCC is never sent.
//
// When an operation ends with the session lost (ErrorKind TimeOut, ServerClosed, ProtocolError, or
// any result after which isLoggedIn() is false), the caller has to log in again.

#include "ftp/Reply.h"
#include "ftp/Result.h"
#include "ftp/Tls.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QFile>
#include <QIODevice>
#include <QObject>
#include <QPointer>
#include <QSslError>
#include <QTimer>
#include <memory>
#include <optional>

namespace zephra::ftp {

class ControlChannel;
class DataChannel;

class Connection final : public QObject {
    Q_OBJECT
    Q_PROPERTY(QString ConnectionMode READ ConnectionMode WRITE setConnectionMode)
    Q_PROPERTY(int TimeOut READ TimeOut WRITE setTimeOut)
    Q_PROPERTY(int MaxLogSize READ MaxLogSize WRITE setMaxLogSize)
    Q_PROPERTY(QString LogData READ LogData NOTIFY logAppended)

public:
    // Named after what the session waits for.
    enum class State {
        Disconnected,
        Connecting,
        AwaitingGreeting,
        AwaitingUserReply,
        AwaitingPassReply,
        AwaitingFeatReply,
        AwaitingOptsReply,       // OPTS UTF8 ON
        AwaitingPwdReply,        // at the login, after CWD/CDUP, or for PrintDirectory
        Idle,
        AwaitingCommandReply,
        AwaitingCwdReply,        // CWD or CDUP; PWD follows
        AwaitingRenameFromReply,
        AwaitingSizeReply,       // SIZE before a download; PASV or PORT follows
        AwaitingPasvReply,
        AwaitingDataConnection,  // passive: our data socket is connecting
        AwaitingPortReply,
        AwaitingRestReply,       // REST n before a resumed RETR or STOR
        AwaitingTransferStart,   // the 1xx reply to LIST, RETR or STOR
        Transferring,            // data flowing; ends at the data close and the final reply
        AwaitingResync,          // after an aborted transfer: its final reply, or after ABOR the NOOP's
        AwaitingAuthReply,       // AUTH TLS, after the greeting
        AwaitingTlsHandshake,    // the control connection's handshake (implicit: before the greeting)
        AwaitingPbszReply,
        AwaitingProtReply,
    };
    Q_ENUM(State)

    // Read size of downloads and block size of uploads.
    static constexpr qint64 kBlockSize = 256 * 1024;

    explicit Connection(QObject* parent = nullptr);
    ~Connection() override;

    QString ConnectionMode() const { return m_connectionMode; }
    void setConnectionMode(const QString& mode) { m_connectionMode = mode.trimmed().toUpper(); }
    int TimeOut() const { return m_timeOut; }
    void setTimeOut(int milliseconds) { m_timeOut = milliseconds; }
    int MaxLogSize() const { return m_maxLogSize; }
    void setMaxLogSize(int characters) { m_maxLogSize = characters; }
    QString LogData() const { return m_log; }
    // For the next Connect(). Without it the engine speaks plain FTP, as it always did.
    void setTlsOptions(const TlsOptions& options) { m_tlsOptions = options; }
    const TlsOptions& tlsOptions() const { return m_tlsOptions; }
    // The control connection is encrypted and data connections are protected (PROT P).
    bool isTlsActive() const { return m_tlsActive; }
    // The server's certificate of this (or the last failed) connect; null before TLS.
    const PeerCertificate& peerCertificate() const { return m_peerCertificate; }

    void Connect(const QString& eServer, const QString& ePort, const QString& eLogin, const QString& ePass);
    void Disconnect();
    void Rename(const QString& SourceFileName, const QString& DestFileName);
    void Rename(const QByteArray& SourceFileName, const QByteArray& DestFileName);
    // CWD, or CDUP for "..", then PWD; finished() comes after the PWD reply, which sets
    // currentDirectory(). A failed CWD leaves the directory as it was; a failed PWD after it, or a
    // cancel, leaves it unknown.
    void ChangeDirectory(const QString& ToFolder);
    void ChangeDirectory(const QByteArray& ToFolder);
    // PWD alone: confirms currentDirectory() (unknown when the reply holds no path).
    void PrintDirectory();
    void MakeDirectory(const QString& NewFolder);
    void MakeDirectory(const QByteArray& NewFolder);
    void RemoveFile(const QString& FileName);
    void RemoveFile(const QByteArray& FileName);
    void RemoveDirectory(const QString& FolderName);
    void RemoveDirectory(const QByteArray& FolderName);
    // 0: binary ("TYPE I"), 1: ASCII ("TYPE A"); any other value sends nothing.
    void TransferType(int TransType);
    // The raw listing of the current directory: MLSD when FEAT offered it, else LIST. A local file
    // is replaced only when the listing is complete (LocalFileReplacement, LocalFile.h). A
    // listing over kMaxListingBytes (ListingLimit.h) is broken off: ErrorKind::ListingTooLarge.
    void ListContents(const QString& LocalFileName);
    void ListContents(QIODevice* sink);
    // Downloads into a local file (atomically, as above) or into an open device (a consumer). In
    // binary mode, where FEAT offered SIZE, the size is asked first and a transfer that delivers
    // another length fails (TransferAborted); a local file then stays as it was.
    void GetFile(const QString& RemoteFileName, const QString& LocalFileName);
    void GetFile(const QByteArray& RemoteFileName, const QString& LocalFileName);
    void GetFile(const QString& RemoteFileName, QIODevice* sink);
    void GetFile(const QByteArray& RemoteFileName, QIODevice* sink);
    // Uploads a local file, or what an open device produces until its end (size -1: unknown).
    void PutFile(const QString& RemoteFileName, const QString& LocalFileName);
    void PutFile(const QByteArray& RemoteFileName, const QString& LocalFileName);
    void PutFile(const QString& RemoteFileName, QIODevice* source, qint64 size = -1);
    void PutFile(const QByteArray& RemoteFileName, QIODevice* source, qint64 size = -1);
    // Resumed transfers (RFC 3659 REST STREAM). A download sends REST from, then RETR; the sink
    // gets the bytes from `from` on and the length check covers the whole file. An upload sends
    // REST from + STOR, or APPE where the server refuses REST (remembered for the session); the
    // source gives the bytes from `from` on and size is the whole file's. Either way the server's
    // (upload) or the sink's (download) copy must hold exactly the first `from` bytes already.
    // Progress counts from `from`.
    void GetFile(const QByteArray& RemoteFileName, QIODevice* sink, qint64 from);
    void PutFile(const QByteArray& RemoteFileName, QIODevice* source, qint64 size, qint64 from);

    // Ends the running operation; finished() reports Cancelled. A cancelled connect leaves no
    // session; otherwise the session stays usable: a command's late reply is passed over, and a
    // transfer ends once the server has answered for it. When the server does not answer within
    // TimeOut, the session is closed and finished() reports that instead (not Cancelled).
    void cancel();

    State state() const { return m_state; }
    bool isBusy() const { return m_busy; }
    bool isLoggedIn() const { return m_loggedIn; }
    // The server's current directory as its last PWD reply gave it (bytes, doubled quotes undone);
    // empty when unknown.
    QByteArray currentDirectory() const { return m_currentDirectory; }
    // What the server offered in its FEAT reply at this session's login.
    const ServerFeatures& features() const { return m_features; }

signals:
    void finished(const zephra::ftp::Result& result);
    void transferProgress(qint64 bytes, qint64 total);  // total -1 when unknown
    // A cancel() or Disconnect() from its receivers runs once the step that changed it is done.
    void stateChanged(zephra::ftp::Connection::State state);
    void logAppended(const QString& text);
    // One line of the conversation as it happens: a command sent (sent true; a password shown as
    // "PASS ****", see ProtocolLog.h) or a reply line received, without its line break.
    void protocolLine(const QString& line, bool sent);

private:
    struct Transfer;

    // Bookkeeping (Connection.cpp).
    void setState(State state);
    bool begin(bool needsSession, std::initializer_list<QByteArrayView> names = {});
    void finish(const Result& result);
    void finishLater(const Result& result);
    void rejectLater(const Result& result);
    void sendCommand(const QByteArray& command);
    void addToLog(const QString& text);
    void logLine(const QString& line, bool sent);  // to the log and protocolLine()
    void armWatchdog(int limitMs = -1);
    void forgetSession();

    // The control connection and the one reply dispatcher (Connection.cpp).
    void onReply(const Reply& reply);
    void onControlConnected();
    void onControlConnectFailed(const QString& reason);
    void onControlClosed();
    void onProtocolError(const QString& reason);
    void dropSession(Result result);

    // The login and the commands on the control connection alone (ConnectionCommands.cpp).
    void onLoginReply(const Reply& reply);
    void onFeatReply(const Reply& reply);
    void onPwdReply(const Reply& reply);
    void onCommandReply(const Reply& reply);
    void startCommand(State state, const QByteArray& command);
    void loggedIn();

    // TLS on the control connection, and what data connections need of it (ConnectionTls.cpp).
    bool wantsTls() const { return m_tlsOptions.mode != TlsMode::Plain; }
    void startLogin();  // after the greeting: AUTH TLS, PBSZ/PROT, or USER
    void onTlsReply(const Reply& reply);
    void onControlEncrypted();
    void onControlSslErrors(const QList<QSslError>& errors);
    void onControlTlsFailed(const QString& reason);
    void prepareDataTls();
    Result dataFailure(const Reply& reply) const;

    // Transfers (ConnectionTransfers.cpp).
    void download(const QByteArray& name, const QString& localFileName, QIODevice* sink, qint64 from = 0);
    void upload(const QByteArray& name, const QString& localFileName, QIODevice* source, qint64 size, qint64 from = 0);
    void sendTransferCommand();
    void list(const QString& localFileName, QIODevice* sink);
    void startTransfer(std::unique_ptr<Transfer> transfer);
    void openDataConnection();
    void onTransferReply(const Reply& reply);
    void onDataConnected();
    void onDataReadyRead();
    void onDataClosed();
    void onDataFailed(const QString& reason);
    void pumpUpload();
    void checkTransferDone();
    void verifyUploadLength(const Reply& reply);
    void failTransfer(Result result);
    void releaseTransfer();
    [[nodiscard]] Result commitTransfer();

    // Cancels, time-outs and getting back in step after a broken-off transfer (ConnectionAbort.cpp).
    void cancelCommand();
    void abortTransfer(Result result, int budgetMs);
    void onResyncReply(const Reply& reply);
    void onWatchdog();

    QString m_connectionMode = QStringLiteral("PASV");
    int m_timeOut = 20000;
    int m_maxLogSize = 40000;
    QString m_log;

    ControlChannel* m_control = nullptr;
    DataChannel* m_data = nullptr;
    QTimer m_watchdog;
    QElapsedTimer m_sinceProgress;  // since the last reply sent for or data block moved
    State m_state = State::Disconnected;
    bool m_busy = false;
    quint64 m_operation = 0;      // counts operations, so a deferred cancel never reaches the next one
    bool m_inStateSignal = false; // stateChanged() is being emitted: the step that changed it is not done
    bool m_loggedIn = false;
    bool m_binary = false;        // TYPE I was accepted: lengths on both sides are byte counts
    bool m_restStorRefused = false;  // REST before STOR was refused: resumed uploads use APPE
    std::optional<bool> m_typeSent;  // TYPE I (true) or TYPE A awaits its reply
    int m_watchLimit = 0;         // the watchdog's current limit in milliseconds
    int m_owedReplies = 0;        // final replies of cancelled commands, passed over when they come
    bool m_aborSent = false;      // the aborted transfer was not answered in time: ABOR and NOOP went out
    QElapsedTimer m_resyncClock;  // since the transfer was broken off
    int m_resyncBudget = 0;       // how long getting back in step may take in all, in milliseconds
    QByteArray m_pendingCommand;  // USER after the greeting, RNTO after RNFR
    QString m_password;           // kept apart from the commands so it never reaches the log
    QString m_host;               // as given: the name certificates are verified against
    TlsOptions m_tlsOptions{.mode = TlsMode::Plain};  // plain until a caller asks for TLS
    bool m_tlsActive = false;
    bool m_protectData = false;   // PROT P accepted: data connections are TLS
    bool m_certificateRejected = false;
    PeerCertificate m_peerCertificate;
    QByteArray m_controlTicket;   // the control connection's session as last seen
    QByteArray m_newestTicket;    // the newest session ticket from any connection of the session
    QByteArray m_currentDirectory;
    ServerFeatures m_features;
    std::optional<Result> m_resyncResult;
    std::unique_ptr<Transfer> m_transfer;
    QByteArray m_buffer;
};

}  // namespace zephra::ftp
