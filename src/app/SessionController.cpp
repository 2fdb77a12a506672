#include "app/SessionController.h"

#include "ftp/Connection.h"
#include "ftp/Listing.h"
#include "ftp/Result.h"
#include "ftp/direct/DirectWorker.h"
#include "ftp/direct/RemoteName.h"
#include "transfer/RemoteRoute.h"

#include <QFile>
#include <QSaveFile>

#include <algorithm>
#include <memory>

namespace zephra::app {

using ftp::direct::DirectError;
using ftp::direct::DirectResult;
using ftp::direct::DirectWorker;

SessionController::SessionController(ftp::Connection& engine, QString workFile, QObject* parent)
    : QObject(parent), m_engine(engine), m_workFile(std::move(workFile))
{
    connect(&m_engine, &ftp::Connection::finished, this, &SessionController::onEngineFinished);
    connect(&m_engine, &ftp::Connection::protocolLine, this, &SessionController::protocolLine);
}

SessionController::~SessionController() { shutdown(); }

int SessionController::portNumber(const QString& text)
{
    const QString t = text.trimmed();
    if (t.isEmpty() || t.size() > 5
        || !std::all_of(t.cbegin(), t.cend(), [](QChar c) { return c >= u'0' && c <= u'9'; }))
        return 0;
    const int port = t.toInt();
    return port >= 1 && port <= 65535 ? port : 0;
}

void SessionController::setPhase(Phase phase)
{
    const bool wasBusy = isBusy();
    m_phase = phase;
    if (wasBusy != isBusy())
        emit busyChanged(isBusy());
}

QString SessionController::serverPath() const { return ftp::decodeServerName(m_directory); }

void SessionController::connectTo(const Target& target)
{
    if (m_phase != Phase::Disconnected)
        return;
    const int port = portNumber(target.port);
    m_useEngine = target.useEngine;
    m_tlsActive = false;
    m_target = target.address + u':' + QString::number(port);
    m_directory.clear();  // a new session starts where the server puts it, once it says where
    m_pendingDirectory.clear();
    m_changing = false;
    m_listingLogin = true;
    m_listingError.clear();
    m_cancelRequested = false;
    setPhase(Phase::Connecting);
    emit statusText(QStringLiteral("Connecting to ") + target.name);

    if (m_useEngine) {
        m_engine.setConnectionMode(QStringLiteral("PASV"));
        m_engine.setTlsOptions(target.tls);
        m_engineStep = EngineStep::Connect;
        m_engine.Connect(target.address, QString::number(port), target.user, target.password);
        return;
    }
    m_engine.setConnectionMode(QString());
    ftp::direct::DirectOptions options = m_directOptions;
    options.active = true;
    options.tls = target.tls;
    m_worker = std::make_unique<DirectWorker>(options);
    connect(m_worker.get(), &DirectWorker::finished, this, &SessionController::onDirectFinished);
    connect(m_worker.get(), &DirectWorker::protocolLine, this, &SessionController::protocolLine);
    m_directStep = DirectStep::Open;
    // The login directory (libcurl's PWD at login) is read on the worker's thread and taken
    // here once finished() has crossed over.
    auto login = std::make_shared<QByteArray>();
    m_loginDirectory = login;
    m_directOperation = m_worker->run([target, port, login](ftp::direct::DirectSession& session) {
        DirectResult r = session.open(target.address, port, target.user, target.password, target.name);
        *login = session.loginDirectory();
        return r;
    });
}

void SessionController::disconnectFromServer()
{
    if (m_phase != Phase::Connected)
        return;
    setPhase(Phase::Disconnecting);
    emit statusText(QStringLiteral("Disconnecting..."));
    if (m_useEngine) {
        // Disconnect also works on a control connection the server has already closed: it
        // then only lets the socket go, and reports success.
        m_engineStep = EngineStep::None;
        m_engine.Disconnect();
        m_engineStep = EngineStep::Quit;
        return;
    }
    if (!m_worker) {
        finishDisconnect(QStringLiteral("Disconnected"));
        return;
    }
    m_directStep = DirectStep::Close;
    m_directOperation = m_worker->close();  // never fails, also on a dropped connection
}

bool SessionController::startListing()
{
    if (m_phase != Phase::Connected)
        return false;
    if (engineSessionLost()) {
        sessionLost();
        return false;
    }
    m_cancelRequested = false;
    m_listingLogin = false;
    setPhase(Phase::Listing);
    emit statusText(QStringLiteral("Refreshing..."));
    return true;
}

void SessionController::changeDirectory(const QByteArray& name, bool throughLink)
{
    if (name.isEmpty() || !startListing())
        return;
    m_throughLink = throughLink;
    const bool parent = name == ".." || name == "/";
    m_pendingDirectory = parent ? ftp::direct::parentPath(m_directory) : ftp::direct::childPath(m_directory, name);
    m_changing = true;
    if (!m_useEngine) {
        listDirect(m_pendingDirectory);
        return;
    }
    m_engineStep = EngineStep::ChangeDir;
    // One step from where the engine is; where it lost track of its directory (a cancelled
    // change), the whole path instead, so the change cannot start from an unknown place.
    const bool inStep = m_directory.isEmpty() || m_engine.currentDirectory() == m_directory;
    m_engine.ChangeDirectory(inStep ? (parent ? QByteArrayLiteral("..") : name) : m_pendingDirectory);
}

void SessionController::openPath(const QByteArray& path, bool quiet)
{
    if (path.isEmpty() || !startListing())
        return;
    m_throughLink = quiet;
    m_pendingDirectory = ftp::direct::resolveDirectory(m_directory, path);
    m_changing = true;
    if (!m_useEngine) {
        listDirect(m_pendingDirectory);
        return;
    }
    m_engineStep = EngineStep::ChangeDir;
    m_engine.ChangeDirectory(m_pendingDirectory);  // by its whole path, wherever the engine is
}

bool SessionController::beginCommand()
{
    if (m_phase != Phase::Connected)
        return false;
    if (engineSessionLost()) {
        sessionLost();
        return false;
    }
    setPhase(Phase::Working);
    return true;
}

void SessionController::endCommand()
{
    if (m_phase != Phase::Working)
        return;
    if (engineSessionLost())
        return sessionLost();
    setPhase(Phase::Connected);
}

std::unique_ptr<transfer::RemoteRoute> SessionController::makeRoute()
{
    // Made for directory(), the directory the window shows as the server confirmed it: the
    // engine route changes back there before acting when the engine has moved on, the direct
    // route names every file by its full path in it.
    if (m_useEngine)
        return transfer::makeEngineRoute(m_engine, m_directory);
    if (!m_worker)
        return nullptr;
    return transfer::makeDirectRoute(*m_worker, m_directory);
}

void SessionController::refreshListing()
{
    if (!startListing())
        return;
    m_pendingDirectory = m_directory;
    m_changing = false;
    m_throughLink = false;
    if (!m_useEngine) {
        listDirect(m_directory);
        return;
    }
    if (!m_directory.isEmpty() && m_engine.currentDirectory() != m_directory) {
        m_engineStep = EngineStep::Restore;
        m_engine.ChangeDirectory(m_directory);
        return;
    }
    listEngine();
}

void SessionController::listEngine()
{
    m_engineStep = EngineStep::List;
    m_engine.ListContents(m_workFile);
}

void SessionController::listDirect(const QByteArray& directory)
{
    m_directStep = DirectStep::List;
    const QString workFile = m_workFile;
    m_directOperation = m_worker->run([directory, workFile](ftp::direct::DirectSession& session) {
        QByteArray raw;
        DirectResult r = session.listRaw(directory, &raw);
        if (!r.ok())
            return r;
        // Replaced only once the whole listing is on disk.
        QSaveFile file(workFile);
        if (!file.open(QIODevice::WriteOnly) || file.write(raw) != raw.size() || !file.commit()) {
            r.error = DirectError::LocalFile;
            r.serverText = file.errorString();
            r.message = QStringLiteral("The listing work file %1 could not be written: %2")
                            .arg(workFile, file.errorString());
        }
        return r;
    });
}

void SessionController::cancel()
{
    switch (m_phase) {
    case Phase::Disconnected:
    case Phase::Connected:
    case Phase::Working:  // the command that runs has its own cancel
        return;
    case Phase::Connecting:
        if (m_useEngine) {
            // Disconnect ends whatever step runs (connect, TYPE, the listing) and drops the socket.
            m_engineStep = EngineStep::None;
            m_engine.Disconnect();
        } else {
            dropWorker();
        }
        setPhase(Phase::Disconnected);
        emit statusText(QStringLiteral("Connecting cancelled"));
        emit disconnected();
        return;
    case Phase::Listing:
        if (m_engineStep == EngineStep::Return)
            return;  // going back into the shown directory: never left half-way
        m_cancelRequested = true;
        if (m_useEngine) {
            m_engine.cancel();
        } else if (m_worker) {
            m_worker->cancel();
        }
        return;
    case Phase::Disconnecting:
        // The goodbye goes on in the background; the window is free at once.
        if (m_useEngine)
            m_engineStep = EngineStep::None;
        else
            dropWorker();
        finishDisconnect(QStringLiteral("Disconnected"));
        return;
    }
}

void SessionController::shutdown()
{
    m_engineStep = EngineStep::None;
    if (m_worker) {
        disconnect(m_worker.get(), nullptr, this, nullptr);
        m_worker.reset();  // cancels, says goodbye (bounded) and stops the thread
    }
    m_phase = Phase::Disconnected;
}

void SessionController::onEngineFinished(const ftp::Result& result)
{
    const EngineStep step = std::exchange(m_engineStep, EngineStep::None);
    switch (step) {
    case EngineStep::None:
        return;
    case EngineStep::Connect:
        if (result.kind == ftp::ErrorKind::TlsRefused)
            return connectStoppedByTls({TlsStop::Reason::Refused, {}, engineReason(result)});
        if (result.kind == ftp::ErrorKind::Certificate)
            return connectStoppedByTls({TlsStop::Reason::Certificate, m_engine.peerCertificate(), engineReason(result)});
        if (!result.ok())
            return connectFailed(engineReason(result));
        m_tlsActive = m_engine.isTlsActive();
        m_directory = m_engine.currentDirectory();  // the PWD reply of the login
        m_engineStep = EngineStep::Type;
        m_engine.TransferType(0);
        return;
    case EngineStep::Type:
        if (!result.ok())
            return connectFailed(engineReason(result));
        listEngine();
        return;
    case EngineStep::ChangeDir:
        if (engineSessionLost())
            return sessionLost();
        if (!result.ok())
            return changeFailed(engineReason(result));  // not confirmed: the old directory stays
        // Confirmed by the PWD that followed the change; a server that does not answer PWD
        // with a path leaves the one the change led to.
        m_directory = m_engine.currentDirectory().isEmpty() ? m_pendingDirectory : m_engine.currentDirectory();
        listEngine();
        return;
    case EngineStep::Restore:
        if (engineSessionLost())
            return sessionLost();
        if (!result.ok())
            return changeFailed(engineReason(result));
        listEngine();
        return;
    case EngineStep::Return:
        if (engineSessionLost())
            return sessionLost();
        if (!result.ok() || m_engine.currentDirectory() != m_directory)
            return directoryUnknown(engineReason(result));
        reportChangeFailure(std::exchange(m_changeFailure, QString()));
        return;
    case EngineStep::List:
        if (m_phase == Phase::Connecting) {
            if (!result.ok() && !m_engine.isLoggedIn())
                return connectFailed(engineReason(result));
            if (!result.ok())
                return unlisted(engineReason(result), false);
            return listed();
        }
        if (engineSessionLost())
            return sessionLost();
        if (!result.ok())
            return unlisted(engineReason(result), result.kind == ftp::ErrorKind::Cancelled);
        return listed();
    case EngineStep::Quit:
        finishDisconnect(QStringLiteral("Disconnected"));
        return;
    }
}

void SessionController::onDirectFinished(quint64 operation, const DirectResult& result)
{
    if (operation != m_directOperation)
        return;
    const DirectStep step = std::exchange(m_directStep, DirectStep::None);
    switch (step) {
    case DirectStep::None:
        return;
    case DirectStep::Open:
        if (result.error == DirectError::TlsRefused)
            return connectStoppedByTls({TlsStop::Reason::Refused, {}, result.message});
        if (result.error == DirectError::Certificate)
            return connectStoppedByTls({TlsStop::Reason::Certificate, result.certificate, result.message});
        if (!result.ok())
            return connectFailed(result.message);
        m_tlsActive = m_worker && m_worker->isTlsActive();
        m_directory = m_loginDirectory ? *m_loginDirectory : QByteArray();
        m_loginDirectory.reset();
        listDirect(m_directory);
        return;
    case DirectStep::List:
        if (m_phase == Phase::Connecting) {
            if (!result.ok())
                return unlisted(result.message, false);  // the session reconnects by itself
            return listed();
        }
        // The direct route names every file by its whole path, so a change whose listing failed
        // (the change into the directory or the listing itself) changes nothing: the old
        // directory stays shown, and stays where commands act.
        if (!result.ok() && m_changing)
            return changeFailed(result.message);
        if (!result.ok())
            return unlisted(result.message, result.error == DirectError::Cancelled);
        m_directory = m_pendingDirectory;
        return listed();
    case DirectStep::Close:
        dropWorker();
        finishDisconnect(QStringLiteral("Disconnected"));
        return;
    }
}

void SessionController::dropHalfOpenSession()
{
    if (m_useEngine) {
        // A half-open session (logged in, listing failed) is not kept.
        if (m_engine.state() != ftp::Connection::State::Disconnected) {
            m_engineStep = EngineStep::None;
            m_engine.Disconnect();
        }
    } else {
        dropWorker();
    }
    setPhase(Phase::Disconnected);
    emit statusText(QStringLiteral("Not connected"));
    emit disconnected();
}

void SessionController::connectFailed(const QString& reason)
{
    dropHalfOpenSession();
    emit failed(QStringLiteral("Could not connect to %1.\n%2").arg(m_target, reason));
}

void SessionController::connectStoppedByTls(const TlsStop& stop)
{
    dropHalfOpenSession();
    emit tlsStopped(stop);
}

bool SessionController::engineSessionLost() const
{
    return m_useEngine && m_engine.state() == ftp::Connection::State::Disconnected;
}

void SessionController::sessionLost()
{
    // The engine gave the session up: a server that never answered for a cancelled transfer, a
    // "421" or a closed control connection. The window must not go on saying "connected" (the
    // next command would only fail with "Not connected to a server.").
    m_engineStep = EngineStep::None;
    m_cancelRequested = false;
    finishDisconnect(QStringLiteral("Disconnected"));
    emit failed(QStringLiteral("The connection to %1 is closed: the server stopped answering or closed it. "
                               "Connect again to go on.")
                    .arg(m_target));
}

void SessionController::listed()
{
    m_listingError.clear();
    setPhase(Phase::Connected);
    if (std::exchange(m_listingLogin, false))
        emit connected();
    else
        emit listingChanged();
}

void SessionController::unlisted(const QString& reason, bool cancelled)
{
    // The session is in directory(), but its listing failed or was cancelled: the window shows
    // that directory empty, with the error, never an earlier listing. A login directory the
    // server refuses to list (vsftpd dirlist_enable=NO answers "550 Permission denied.") is
    // still a working session: drop boxes are often like this.
    cancelled = std::exchange(m_cancelRequested, false) || cancelled;
    m_listingError = cancelled
        ? QStringLiteral("The listing of %1 was cancelled.").arg(directoryText(m_directory))
        : QStringLiteral("%1 could not be listed.\n%2").arg(directoryText(m_directory), reason);
    // The filter reads the work file again: it must not hold another directory's listing.
    QFile file(m_workFile);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        QFile::remove(m_workFile);
    setPhase(Phase::Connected);
    if (std::exchange(m_listingLogin, false))
        emit connected();
    else
        emit listingChanged();
    if (cancelled)
        emit statusText(QStringLiteral("Cancelled"));
}

void SessionController::changeFailed(const QString& reason)
{
    // Not confirmed: the directory shown and its rows stay, and commands still act there. A
    // change cancelled after its CWD went out may still have moved the server, and leaves the
    // engine's directory unknown: it goes back by the whole path before anything else can run.
    if (m_useEngine && !m_directory.isEmpty() && m_engine.currentDirectory() != m_directory) {
        m_changeFailure = reason;
        m_engineStep = EngineStep::Return;
        m_engine.ChangeDirectory(m_directory);
        return;
    }
    reportChangeFailure(reason);
}

void SessionController::directoryUnknown(const QString& reason)
{
    // The server's directory is neither the one shown nor known: rather than let a command act
    // somewhere else, the session ends.
    m_engineStep = EngineStep::None;
    m_cancelRequested = false;
    m_engine.Disconnect();
    finishDisconnect(QStringLiteral("Disconnected"));
    emit failed(QStringLiteral("The session could not go back into %1 (%2), so it was closed: no command may act "
                               "on another directory than the one shown.")
                    .arg(ftp::decodeServerName(m_directory), reason));
}

void SessionController::reportChangeFailure(const QString& reason)
{
    setPhase(Phase::Connected);
    if (std::exchange(m_cancelRequested, false)) {
        emit statusText(QStringLiteral("Cancelled"));
        return;
    }
    if (m_throughLink) {
        // Only the server knew whether the link leads to a directory; it does not.
        emit statusText(QStringLiteral("%1 is not a directory that can be opened (%2)")
                            .arg(ftp::decodeServerName(m_pendingDirectory), reason));
        return;
    }
    emit statusText(QStringLiteral("Ready..."));
    emit failed(QStringLiteral("%1 could not be opened.\n%2").arg(directoryText(m_pendingDirectory), reason));
}

QString SessionController::directoryText(const QByteArray& directory) const
{
    if (directory.isEmpty() || (m_listingLogin && directory == m_directory))
        return QStringLiteral("The login directory");
    return QStringLiteral("The directory ") + ftp::decodeServerName(directory);
}

void SessionController::finishDisconnect(const QString& status)
{
    setPhase(Phase::Disconnected);
    emit statusText(status);
    emit disconnected();
}

void SessionController::dropWorker()
{
    if (!m_worker)
        return;
    m_directStep = DirectStep::None;
    m_directOperation = 0;
    DirectWorker* worker = m_worker.release();
    disconnect(worker, nullptr, this, nullptr);
    worker->cancel();
    // The goodbye runs on the worker's thread; the worker goes once it is said, so the window
    // never waits for a server that does not answer.
    // Connected before close() is queued, so the report cannot slip past; it is delivered on
    // this thread, after `closing` has been set.
    auto closing = std::make_shared<quint64>(0);
    connect(worker, &DirectWorker::finished, worker, [worker, closing](quint64 operation) {
        if (operation == *closing)
            worker->deleteLater();
    });
    *closing = worker->close();
}

QString SessionController::engineReason(const ftp::Result& result) const
{
    QString reason = result.description;
    if (result.kind == ftp::ErrorKind::Reply && !result.serverText.isEmpty()
        && !reason.contains(result.serverText.trimmed()))
        reason += QStringLiteral(" (") + result.serverText.trimmed() + u')';
    return reason;
}

}  // namespace zephra::app
