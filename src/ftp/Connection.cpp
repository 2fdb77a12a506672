// The session's bookkeeping, its control connection and the one reply dispatcher. The handlers
// live beside it by responsibility: the login and simple commands in ConnectionCommands.cpp,
// transfers in ConnectionTransfers.cpp, cancels and time-outs in ConnectionAbort.cpp.
#include "ftp/Connection.h"

#include "ftp/ConnectionTransfer.h"
#include "ftp/ControlChannel.h"
#include "ftp/DataChannel.h"
#include "ftp/ProtocolLog.h"

Q_LOGGING_CATEGORY(lcFtp, "zephra.ftp", QtInfoMsg)

namespace zephra::ftp {

Connection::Connection(QObject* parent)
    : QObject(parent)
    , m_control(new ControlChannel(this))
    , m_data(new DataChannel(this))
{
    m_watchdog.setSingleShot(true);
    connect(&m_watchdog, &QTimer::timeout, this, &Connection::onWatchdog);
    connect(m_control, &ControlChannel::connected, this, &Connection::onControlConnected);
    connect(m_control, &ControlChannel::connectFailed, this, &Connection::onControlConnectFailed);
    connect(m_control, &ControlChannel::lineReceived, this,
            [this](const QString& line) { logLine(line, false); });
    connect(m_control, &ControlChannel::replyReceived, this, &Connection::onReply);
    connect(m_control, &ControlChannel::protocolError, this, &Connection::onProtocolError);
    connect(m_control, &ControlChannel::closed, this, &Connection::onControlClosed);
    connect(m_control, &ControlChannel::encrypted, this, &Connection::onControlEncrypted);
    connect(m_control, &ControlChannel::sslErrors, this, &Connection::onControlSslErrors);
    connect(m_control, &ControlChannel::tlsFailed, this, &Connection::onControlTlsFailed);
    connect(m_data, &DataChannel::encrypted, this, &Connection::pumpUpload);
    connect(m_data, &DataChannel::sessionTicket, this, [this](const QByteArray& ticket) {
        if (!ticket.isEmpty())
            m_newestTicket = ticket;
    });
    connect(m_data, &DataChannel::connected, this, &Connection::onDataConnected);
    connect(m_data, &DataChannel::readyRead, this, &Connection::onDataReadyRead);
    connect(m_data, &DataChannel::bytesWritten, this, &Connection::pumpUpload);
    connect(m_data, &DataChannel::closed, this, &Connection::onDataClosed);
    connect(m_data, &DataChannel::failed, this, &Connection::onDataFailed);
}

Connection::~Connection()
{
    m_data->abort();
    releaseTransfer();
    m_control->abort();
}

// ---- bookkeeping ---------------------------------------------------------------------------

void Connection::setState(State state)
{
    if (m_state == state)
        return;
    qCDebug(lcFtp) << "state" << m_state << "->" << state;
    m_state = state;
    const bool outer = !std::exchange(m_inStateSignal, true);
    emit stateChanged(state);
    if (outer)
        m_inStateSignal = false;
}

bool Connection::begin(bool needsSession, std::initializer_list<QByteArrayView> names)
{
    if (m_busy) {
        rejectLater(makeError(ErrorKind::Busy));
        return false;
    }
    for (QByteArrayView name : names) {
        if (holdsLineBreak(name)) {
            rejectLater(makeError(ErrorKind::InvalidName));
            return false;
        }
    }
    if (needsSession && (!m_loggedIn || m_state != State::Idle)) {
        rejectLater(makeError(ErrorKind::NotConnected));
        return false;
    }
    m_busy = true;
    ++m_operation;
    return true;
}

void Connection::finish(const Result& result)
{
    m_watchdog.stop();
    m_pendingCommand.clear();
    m_busy = false;
    if (!result.ok())
        qCDebug(lcFtp) << "operation failed:" << result.description;
    emit finished(result);
}

void Connection::finishLater(const Result& result)
{
    QMetaObject::invokeMethod(this, [this, result] { finish(result); }, Qt::QueuedConnection);
}

void Connection::rejectLater(const Result& result)
{
    QMetaObject::invokeMethod(this, [this, result] { emit finished(result); }, Qt::QueuedConnection);
}

void Connection::sendCommand(const QByteArray& command)
{
    // The password never reaches the log.
    logLine(loggableCommand(command), true);
    m_control->send(command);
    armWatchdog();
}

void Connection::logLine(const QString& line, bool sent)
{
    addToLog(line + QStringLiteral("\r\n"));
    emit protocolLine(line, sent);
}

void Connection::addToLog(const QString& text)
{
    // The oldest text goes first, as much as the new entry needs.
    if (text.size() + m_log.size() > m_maxLogSize)
        m_log.remove(0, qMin(text.size(), m_log.size()));
    m_log += text;
    emit logAppended(text);
}

void Connection::armWatchdog(int limitMs)
{
    m_watchLimit = qMax(1, limitMs < 0 ? m_timeOut : limitMs);
    m_sinceProgress.start();
    m_watchdog.start(m_watchLimit);
}

// What a session learnt from its server goes with it.
void Connection::forgetSession()
{
    m_loggedIn = false;
    m_binary = false;
    m_typeSent.reset();
    m_password.clear();
    m_owedReplies = 0;
    m_currentDirectory.clear();
    m_features = ServerFeatures();
    m_tlsActive = false;
    m_protectData = false;
    m_controlTicket.clear();
    m_newestTicket.clear();
    m_restStorRefused = false;
}

// ---- control connection --------------------------------------------------------------------

void Connection::onControlConnected()
{
    // Implicit TLS: the greeting comes once the handshake is done.
    setState(wantsTls() && m_tlsOptions.implicit ? State::AwaitingTlsHandshake : State::AwaitingGreeting);
    armWatchdog();
}

void Connection::onControlConnectFailed(const QString& reason)
{
    m_watchdog.stop();
    setState(State::Disconnected);
    if (m_busy)
        finish(makeError(ErrorKind::ConnectFailed, 0, reason));
}

void Connection::onControlClosed()
{
    dropSession(makeError(ErrorKind::ServerClosed));
}

void Connection::onProtocolError(const QString& reason)
{
    dropSession(makeError(ErrorKind::ProtocolError, 0, reason));
}

// The control connection is gone or can no longer be trusted: everything ends, and the running
// operation reports why, even when it was being cancelled. Reporting the cancel instead let a
// window go on as connected after a cancelled listing whose server never answered again, and
// its next command failed with "Not connected to a server.".
void Connection::dropSession(Result result)
{
    m_watchdog.stop();
    m_control->abort();
    m_data->abort();
    releaseTransfer();
    forgetSession();
    m_resyncResult.reset();
    setState(State::Disconnected);
    if (m_busy)
        finish(result);
}

void Connection::onReply(const Reply& reply)
{
    if (reply.code == 421) {
        dropSession(makeError(ErrorKind::Reply, reply.code, reply.lastLine()));
        return;
    }
    if (m_owedReplies > 0 && m_state != State::AwaitingGreeting) {
        if (!reply.isPreliminary())
            --m_owedReplies;
        qCDebug(lcFtp) << "passed over the late reply" << reply.code << "of a cancelled command";
        return;
    }
    switch (m_state) {
    case State::AwaitingGreeting:
    case State::AwaitingUserReply:
    case State::AwaitingPassReply:
    case State::AwaitingOptsReply:
        onLoginReply(reply);
        return;
    case State::AwaitingFeatReply:
        onFeatReply(reply);
        return;
    case State::AwaitingPwdReply:
        onPwdReply(reply);
        return;
    case State::AwaitingCommandReply:
    case State::AwaitingCwdReply:
    case State::AwaitingRenameFromReply:
        onCommandReply(reply);
        return;
    case State::AwaitingSizeReply:
    case State::AwaitingPasvReply:
    case State::AwaitingPortReply:
    case State::AwaitingRestReply:
    case State::AwaitingTransferStart:
    case State::Transferring:
        onTransferReply(reply);
        return;
    case State::AwaitingResync:
        onResyncReply(reply);
        return;
    case State::AwaitingAuthReply:
    case State::AwaitingPbszReply:
    case State::AwaitingProtReply:
        onTlsReply(reply);
        return;
    case State::AwaitingTlsHandshake:
    case State::Disconnected:
    case State::Connecting:
    case State::Idle:
    case State::AwaitingDataConnection:
        qCDebug(lcFtp) << "unsolicited reply" << reply.code << "in" << m_state;
        return;
    }
}

}  // namespace zephra::ftp
