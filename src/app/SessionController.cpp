#include "app/SessionController.h"

#include "ftp/Connection.h"
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

void SessionController::connectTo(const Target& target)
{
    if (m_phase != Phase::Disconnected)
        return;
    const int port = portNumber(target.port);
    m_useEngine = target.useEngine;
    m_target = target.address + u':' + QString::number(port);
    m_serverPath.clear();  // a new session starts in its login directory
    m_pendingPath.clear();
    m_cancelRequested = false;
    setPhase(Phase::Connecting);
    emit statusText(QStringLiteral("Connecting to ") + target.name);

    if (m_useEngine) {
        m_engine.setConnectionMode(QStringLiteral("PASV"));
        m_engineStep = EngineStep::Connect;
        m_engine.Connect(target.address, QString::number(port), target.user, target.password);
        return;
    }
    m_engine.setConnectionMode(QString());
    ftp::direct::DirectOptions options = m_directOptions;
    options.active = true;
    m_worker = std::make_unique<DirectWorker>(options);
    connect(m_worker.get(), &DirectWorker::finished, this, &SessionController::onDirectFinished);
    m_directStep = DirectStep::Open;
    m_directOperation = m_worker->open(target.address, port, target.user, target.password, target.name);
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
    m_cancelRequested = false;
    setPhase(Phase::Listing);
    emit statusText(QStringLiteral("Refreshing..."));
    return true;
}

void SessionController::changeDirectory(const QString& directory)
{
    if (directory.isEmpty() || !startListing())
        return;
    if (m_useEngine) {
        m_pendingPath = directory;
        m_engineStep = EngineStep::ChangeDir;
        m_engine.ChangeDirectory(directory);
        return;
    }
    const QString path = directory == u'/' ? QStringLiteral("/") : ftp::direct::remoteName(m_serverPath, directory);
    listDirect(path);
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
    if (m_useEngine)
        return transfer::makeEngineRoute(m_engine);
    if (!m_worker)
        return nullptr;
    return transfer::makeDirectRoute(*m_worker, m_serverPath);
}

void SessionController::refreshListing()
{
    if (!startListing())
        return;
    if (m_useEngine) {
        m_pendingPath = m_serverPath;
        m_engineStep = EngineStep::List;
        m_engine.ListContents(m_workFile);
        return;
    }
    listDirect(m_serverPath);
}

void SessionController::listDirect(const QString& serverPath)
{
    m_pendingPath = serverPath;
    m_directStep = DirectStep::List;
    const QString directory = ftp::direct::listingDirectory(serverPath);
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
        if (!result.ok())
            return connectFailed(engineReason(result));
        m_engineStep = EngineStep::Type;
        m_engine.TransferType(0);
        return;
    case EngineStep::Type:
        if (!result.ok())
            return connectFailed(engineReason(result));
        m_engineStep = EngineStep::List;
        m_engine.ListContents(m_workFile);
        return;
    case EngineStep::ChangeDir:
        if (engineSessionLost())
            return sessionLost();
        if (!result.ok())
            return listingFailed(engineReason(result));
        m_engineStep = EngineStep::List;
        m_engine.ListContents(m_workFile);
        return;
    case EngineStep::List:
        if (m_phase == Phase::Connecting) {
            if (!result.ok() && !m_engine.isLoggedIn())
                return connectFailed(engineReason(result));
            if (!result.ok())
                return connectedUnlisted(engineReason(result));
            setPhase(Phase::Connected);
            emit connected();
            return;
        }
        if (engineSessionLost())
            return sessionLost();
        if (!result.ok())
            return listingFailed(engineReason(result));
        m_serverPath = m_pendingPath;
        setPhase(Phase::Connected);
        emit listingChanged();
        return;
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
        if (!result.ok())
            return connectFailed(result.message);
        listDirect(QString());
        return;
    case DirectStep::List:
        if (m_phase == Phase::Connecting) {
            if (!result.ok())
                return connectedUnlisted(result.message);  // the session reconnects by itself
            setPhase(Phase::Connected);
            emit connected();
            return;
        }
        if (!result.ok())
            return listingFailed(result.message);
        m_serverPath = m_pendingPath;
        setPhase(Phase::Connected);
        emit listingChanged();
        return;
    case DirectStep::Close:
        dropWorker();
        finishDisconnect(QStringLiteral("Disconnected"));
        return;
    }
}

void SessionController::connectFailed(const QString& reason)
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
    emit failed(QStringLiteral("Could not connect to %1.\n%2").arg(m_target, reason));
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

void SessionController::connectedUnlisted(const QString& reason)
{
    // A login directory the server refuses to list (vsftpd dirlist_enable=NO answers "550
    // Permission denied.") is still a working session: drop boxes are often like this.
    clearWorkFile();
    setPhase(Phase::Connected);
    emit connected();
    emit failed(listingFailureText(reason));
}

void SessionController::clearWorkFile()
{
    // An earlier listing must never be shown for this directory: emptied, or gone when it
    // cannot be emptied (the window then shows nothing).
    QFile file(m_workFile);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        QFile::remove(m_workFile);
}

QString SessionController::listingFailureText(const QString& reason) const
{
    const QString what = m_pendingPath.isEmpty() ? QStringLiteral("The login directory")
                                                 : QStringLiteral("The directory %1").arg(m_pendingPath);
    return QStringLiteral("%1 could not be listed.\n%2").arg(what, reason);
}

void SessionController::listingFailed(const QString& reason)
{
    setPhase(Phase::Connected);
    if (std::exchange(m_cancelRequested, false)) {
        emit statusText(QStringLiteral("Cancelled"));
        return;
    }
    emit statusText(QStringLiteral("Connected"));
    emit failed(listingFailureText(reason));
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
