#pragma once
// Opens and closes the one FTP session of the main window and keeps the listing work file.
//
// The route is chosen at connect time and fixed for the session (UseEngine): the engine
// (ftp::Connection, passive mode) or the direct route (DirectWorker on libcurl, active mode).
//   Engine:  Connect, TransferType(0), ListContents(work file)
//   Direct:  open, then the raw listing of the login directory written to the work file
// Every step runs asynchronously; the window only reacts to the signals below, so it never
// waits for the network. Every wait can be cancelled with cancel().
//
// Directories: the window shows one server directory, directory(), and it is only ever one the
// server confirmed: on the engine route the PWD reply after the login and after each change (CWD,
// or CDUP for ".."); on the direct route the login directory libcurl read with PWD and every
// absolute path the session changed into and listed. Every command of the window runs through a
// route made for that directory (makeRoute), so no command can act on another one. When the
// listing after a change fails or is cancelled, the window shows the new directory empty, with
// the error: never the old directory's files while the server is elsewhere.
//
// TLS: Target::tls goes to the route as it is (engine: setTlsOptions; direct: DirectOptions::tls).
// A connect that TLS stopped (the server refused AUTH TLS, or its certificate did not verify)
// ends with tlsStopped() instead of failed(): the caller (TlsConnectFlow) decides what to ask
// and whether to connect again.

#include "ftp/Tls.h"
#include "ftp/direct/DirectSession.h"

#include <QByteArray>
#include <QObject>
#include <QString>

#include <memory>

namespace zephra::ftp {
class Connection;
struct Result;
}
namespace zephra::ftp::direct {
class DirectWorker;
struct DirectResult;
}
namespace zephra::transfer {
class RemoteRoute;
}

namespace zephra::app {

class SessionController final : public QObject {
    Q_OBJECT
public:
    // Working: a command of the window (a transfer, a server file operation) uses the session.
    enum class Phase { Disconnected, Connecting, Connected, Listing, Disconnecting, Working };
    Q_ENUM(Phase)

    struct Target {
        QString name;      // the profile name (status text, agent name)
        QString address;
        QString port;      // as typed; checked by portNumber()
        QString user;
        QString password;
        bool useEngine = true;  // "Passive" ticked
        ftp::TlsOptions tls = plainTls();
    };

    // Why TLS stopped a connect before the login.
    struct TlsStop {
        enum class Reason { Refused, Certificate };
        Reason reason = Reason::Refused;
        ftp::PeerCertificate certificate;  // Certificate: what the server showed
        QString message;                   // the route's own text
    };
    static ftp::TlsOptions plainTls()
    {
        ftp::TlsOptions plain;
        plain.mode = ftp::TlsMode::Plain;
        return plain;
    }

    // engine: the window's FtpEngine, used for engine-route sessions. workFile: the listing work
    // file (AppDir + "ZepFTPlist.dat").
    SessionController(ftp::Connection& engine, QString workFile, QObject* parent = nullptr);
    ~SessionController() override;

    // The port as a number, or 0 when the text is not a plain decimal number from 1 to 65535.
    static int portNumber(const QString& text);

    Phase phase() const { return m_phase; }
    bool isBusy() const { return m_phase != Phase::Disconnected && m_phase != Phase::Connected; }
    bool useEngine() const { return m_useEngine; }
    // Whether the connected session runs over TLS (control and data connections).
    bool isTlsActive() const { return m_phase != Phase::Disconnected && m_tlsActive; }
    const QString& workFile() const { return m_workFile; }
    // The directory the window shows, as the server confirmed it (its bytes); empty only when
    // the server never named its directory.
    const QByteArray& directory() const { return m_directory; }
    // The same, as shown ("/pub/café").
    QString serverPath() const;

    // Starts connecting; the target must have been checked (refused() is not emitted for it).
    void connectTo(const Target& target);
    // Closes the session; clean even when the server has already dropped it.
    void disconnectFromServer();
    // A tree node was clicked: its name's bytes, or ".." (the tree's "/" for it too) for the
    // parent directory. throughLink: a symbolic link of the file list, which may or may not lead
    // to a directory; a refusal then only shows in the status line.
    void changeDirectory(const QByteArray& name, bool throughLink = false);
    // A path typed by the user (absolute, or relative to directory()): the server is asked to
    // change there, and the window shows it only once the server confirmed it. quiet: a refusal
    // only shows in the status line (a remembered directory that is gone).
    void openPath(const QByteArray& path, bool quiet = false);
    // Stops the wait in progress: a connect ends not connected, a disconnect ends at once, a
    // directory change that the server had not yet confirmed keeps the old directory and its
    // listing; a listing cancelled after the change shows the new directory empty.
    void cancel();
    // A command of the window takes the connected session: the phase is Working (busy) until
    // endCommand(), so no connect, disconnect or directory change can collide with it. False
    // when the session is not connected and idle.
    bool beginCommand();
    void endCommand();
    // The session as the commands see it: the route of this session, made for directory().
    // Only while connected.
    std::unique_ptr<transfer::RemoteRoute> makeRoute();
    // Lists directory() again into the work file; listingChanged() when done.
    void refreshListing();
    // Why the last listing of directory() is not shown (failed or cancelled), for the window to
    // show over the empty list; empty when the work file holds it.
    const QString& listingError() const { return m_listingError; }

    // Program end: the direct session says goodbye (bounded) and its thread stops.
    void shutdown();

    // Time-outs of the next direct-route session (the engine has its TimeOut property). The data
    // connections stay active whatever `active` says: that is what the route is.
    void setDirectOptions(const ftp::direct::DirectOptions& options) { m_directOptions = options; }

signals:
    void statusText(const QString& text);
    void busyChanged(bool busy);
    // The work file holds the listing of the new session / the new directory.
    void connected();
    void listingChanged();
    // The session is closed (after a disconnect, a failed or cancelled connect).
    void disconnected();
    // A server operation failed; text for a message box. Emitted after the state has settled.
    void failed(const QString& message);
    // Every command and reply line of the session, on either route (the password masked).
    void protocolLine(const QString& line, bool sent);
    // A connect TLS stopped (see above); emitted after disconnected(), in place of failed().
    void tlsStopped(const zephra::app::SessionController::TlsStop& stop);

private:
    // Restore: back into directory() by its whole path before a refresh, where the engine is
    // elsewhere. Return: the same after a change the server did not confirm (a cancelled one
    // leaves the engine's directory unknown), before any command can run.
    enum class EngineStep { None, Connect, Type, List, ChangeDir, Restore, Return, Quit };
    enum class DirectStep { None, Open, List, Close };

    void setPhase(Phase phase);
    // A listing may start only in a connected, idle session: Listing phase, "Refreshing...".
    bool startListing();
    void onEngineFinished(const ftp::Result& result);
    void onDirectFinished(quint64 operation, const ftp::direct::DirectResult& result);
    void listEngine();
    void listDirect(const QByteArray& directory);
    // How a listing of directory() ended: shown, or failed / cancelled (the directory, empty).
    void listed();
    void unlisted(const QString& reason, bool cancelled);
    // A directory change the server did not confirm (refused, cancelled).
    void changeFailed(const QString& reason);
    void reportChangeFailure(const QString& reason);
    void directoryUnknown(const QString& reason);
    QString directoryText(const QByteArray& directory) const;
    void connectFailed(const QString& reason);
    // Ends a connect that did not complete: the half-open session goes, the window is disconnected.
    void dropHalfOpenSession();
    void connectStoppedByTls(const TlsStop& stop);
    // The engine's session is gone although the window's is not: reported, then disconnected.
    bool engineSessionLost() const;
    void sessionLost();
    void finishDisconnect(const QString& status);
    void dropWorker();
    QString engineReason(const ftp::Result& result) const;

    ftp::Connection& m_engine;
    QString m_workFile;
    Phase m_phase = Phase::Disconnected;
    bool m_useEngine = true;
    bool m_tlsActive = false;    // the session settled on TLS at its login
    QString m_target;            // the server as "address:port", for messages
    QByteArray m_directory;         // confirmed by the server; what the window shows
    QByteArray m_pendingDirectory;  // where a change leads, until the server confirms it
    bool m_changing = false;        // the running listing follows a directory change
    bool m_throughLink = false;     // that change goes through a symbolic link
    bool m_listingLogin = false;    // the running listing is the login directory's, at connect
    QString m_listingError;
    QString m_changeFailure;  // reported once the engine is back in directory()
    EngineStep m_engineStep = EngineStep::None;
    ftp::direct::DirectOptions m_directOptions;
    std::unique_ptr<ftp::direct::DirectWorker> m_worker;
    DirectStep m_directStep = DirectStep::None;
    quint64 m_directOperation = 0;  // the operation whose finished() is awaited
    std::shared_ptr<QByteArray> m_loginDirectory;  // filled by the open on the worker's thread
    bool m_cancelRequested = false; // a directory change being cancelled: no message
};

}  // namespace zephra::app
