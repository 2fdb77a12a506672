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
// Directories: the engine moves its current directory with ChangeDirectory and names stay bare;
// the direct session never changes directory, so the browser's directory is carried here as a
// full path (remote name rule) and listed by path, at any depth.

#include "ftp/direct/DirectSession.h"

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
    };

    // engine: the window's FtpEngine, used for engine-route sessions. workFile: the listing work
    // file (AppDir + "ZepFTPlist.dat").
    SessionController(ftp::Connection& engine, QString workFile, QObject* parent = nullptr);
    ~SessionController() override;

    // The port as a number, or 0 when the text is not a plain decimal number from 1 to 65535.
    static int portNumber(const QString& text);

    Phase phase() const { return m_phase; }
    bool isBusy() const { return m_phase != Phase::Disconnected && m_phase != Phase::Connected; }
    bool useEngine() const { return m_useEngine; }
    const QString& workFile() const { return m_workFile; }
    // The server directory last chosen in the tree: empty at first, "/" after "..". On the
    // direct route a path relative to the login directory ("pub/inner").
    const QString& serverPath() const { return m_serverPath; }

    // Starts connecting; the target must have been checked (refused() is not emitted for it).
    void connectTo(const Target& target);
    // Closes the session; clean even when the server has already dropped it.
    void disconnectFromServer();
    // A tree node was clicked: "/" for "..", else the directory's name.
    void changeDirectory(const QString& directory);
    // Stops the wait in progress: a connect ends not connected, a disconnect ends at once, a
    // directory change keeps the old listing.
    void cancel();
    // A command of the window takes the connected session: the phase is Working (busy) until
    // endCommand(), so no connect, disconnect or directory change can collide with it. False
    // when the session is not connected and idle.
    bool beginCommand();
    void endCommand();
    // The session as the commands see it, on the route of this session and in the browser's
    // directory. Only while connected.
    std::unique_ptr<transfer::RemoteRoute> makeRoute();
    // Lists the current directory again into the work file; listingChanged() when done.
    void refreshListing();

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

private:
    enum class EngineStep { None, Connect, Type, List, ChangeDir, Quit };
    enum class DirectStep { None, Open, List, Close };

    void setPhase(Phase phase);
    // A listing may start only in a connected, idle session: Listing phase, "Refreshing...".
    bool startListing();
    void onEngineFinished(const ftp::Result& result);
    void onDirectFinished(quint64 operation, const ftp::direct::DirectResult& result);
    void listDirect(const QString& serverPath);
    void connectFailed(const QString& reason);
    // Logged in, but the login directory could not be listed: connected with an empty list.
    void connectedUnlisted(const QString& reason);
    void clearWorkFile();
    // The engine's session is gone although the window's is not: reported, then disconnected.
    bool engineSessionLost() const;
    void sessionLost();
    QString listingFailureText(const QString& reason) const;
    void listingFailed(const QString& reason);
    void finishDisconnect(const QString& status);
    void dropWorker();
    QString engineReason(const ftp::Result& result) const;

    ftp::Connection& m_engine;
    QString m_workFile;
    Phase m_phase = Phase::Disconnected;
    bool m_useEngine = true;
    QString m_target;            // the server as "address:port", for messages
    QString m_serverPath;
    QString m_pendingPath;       // direct route: the directory being listed
    EngineStep m_engineStep = EngineStep::None;
    ftp::direct::DirectOptions m_directOptions;
    std::unique_ptr<ftp::direct::DirectWorker> m_worker;
    DirectStep m_directStep = DirectStep::None;
    quint64 m_directOperation = 0;  // the operation whose finished() is awaited
    bool m_cancelRequested = false; // a directory change being cancelled: no message
};

}  // namespace zephra::app
