// The login (USER, PASS, FEAT, OPTS UTF8 ON, PWD) and the commands that need the control
// connection alone: directories, rename, delete, transfer type.
#include "ftp/Connection.h"

#include "ftp/ConnectionTransfer.h"
#include "ftp/ControlChannel.h"
#include "ftp/DataChannel.h"
#include "ftp/TlsSetup.h"

namespace zephra::ftp {

namespace {

bool isParent(QByteArrayView name)
{
    return name == "..";
}

}  // namespace

// ---- the session ---------------------------------------------------------------------------

void Connection::Connect(const QString& eServer, const QString& ePort, const QString& eLogin, const QString& ePass)
{
    if (!begin(false, {eServer.toUtf8(), eLogin.toUtf8(), ePass.toUtf8()}))
        return;
    bool ok = false;
    const uint port = ePort.trimmed().toUInt(&ok);
    if (!ok || port == 0 || port > 65535) {
        finishLater(makeError(ErrorKind::ConnectFailed, 0, QStringLiteral("invalid port %1").arg(ePort)));
        return;
    }
    m_data->abort();
    m_control->abort();
    forgetSession();
    m_pendingCommand = "USER " + eLogin.toUtf8();
    m_password = ePass;
    m_host = eServer.trimmed();
    m_peerCertificate = PeerCertificate();
    m_certificateRejected = false;
    setState(State::Connecting);
    if (wantsTls() && m_tlsOptions.implicit)
        m_control->connectToServer(m_host, quint16(port), tlsClientConfiguration(m_tlsOptions));
    else
        m_control->connectToServer(m_host, quint16(port));
    armWatchdog();
}

void Connection::Disconnect()
{
    if (m_inStateSignal) {
        QMetaObject::invokeMethod(this, &Connection::Disconnect, Qt::QueuedConnection);  // as cancel()
        return;
    }
    if (m_busy && m_transfer) {
        m_data->abort();
        releaseTransfer();
        finish(makeError(ErrorKind::Cancelled));
    } else if (m_busy) {
        finish(makeError(ErrorKind::Cancelled));
    }
    m_busy = true;
    if (m_control->isOpen()) {
        logLine(QStringLiteral("QUIT"), true);
        m_control->send("QUIT");
        m_control->closeGracefully();
    } else {
        m_control->abort();
    }
    forgetSession();
    m_resyncResult.reset();
    setState(State::Disconnected);
    finishLater(Result{});
}

void Connection::onLoginReply(const Reply& reply)
{
    const bool error = isErrorReply(reply);
    const auto failWith = [&] { return makeError(ErrorKind::Reply, reply.code, reply.lastLine()); };
    if (reply.isPreliminary() && !error)
        return;  // "120 ready in n minutes": the greeting follows

    switch (m_state) {
    case State::AwaitingGreeting:
        if (error || reply.code / 100 != 2) {
            dropSession(failWith());
            return;
        }
        startLogin();
        return;
    case State::AwaitingUserReply:
    case State::AwaitingPassReply:
        if (!error && reply.code == 331 && m_state == State::AwaitingUserReply) {
            startCommand(State::AwaitingPassReply, "PASS " + m_password.toUtf8());
            return;
        }
        m_password.clear();
        if (error || reply.code / 100 != 2) {
            // A refused login is an error, and the session is not kept half open.
            dropSession(reply.code / 100 == 3 && !error ? makeError(ErrorKind::Reply, 530, reply.lastLine())
                                                        : failWith());
            return;
        }
        // What the server offers decides the listing command, SIZE and the name encoding.
        startCommand(State::AwaitingFeatReply, "FEAT");
        return;
    case State::AwaitingOptsReply:
        // Refused or not: names are bytes either way; the reply only ends the wait.
        startCommand(State::AwaitingPwdReply, "PWD");
        return;
    default:
        return;
    }
}

void Connection::onFeatReply(const Reply& reply)
{
    if (reply.isPreliminary() && !isErrorReply(reply))
        return;
    // Old servers answer 500 or 502: nothing is offered.
    m_features = parseFeatures(reply);
    if (m_features.utf8)
        startCommand(State::AwaitingOptsReply, "OPTS UTF8 ON");
    else
        startCommand(State::AwaitingPwdReply, "PWD");
}

void Connection::onPwdReply(const Reply& reply)
{
    const bool error = isErrorReply(reply);
    if (reply.isPreliminary() && !error)
        return;
    const auto path = !error && reply.code == 257 && !reply.rawLines.isEmpty()
                          ? parseDirectoryReply(reply.rawLines.first())
                          : std::nullopt;
    m_currentDirectory = path.value_or(QByteArray());
    setState(State::Idle);
    if (!m_loggedIn) {
        // The login stands without a directory; it is unknown until a PWD names it.
        m_loggedIn = true;
        finish(Result{});
        return;
    }
    if (error) {
        finish(makeError(ErrorKind::Reply, reply.code, reply.lastLine()));
        return;
    }
    finish(path ? Result{} : makeError(ErrorKind::ProtocolError, reply.code, reply.lastLine()));
}

// ---- commands ------------------------------------------------------------------------------

void Connection::startCommand(State state, const QByteArray& command)
{
    setState(state);
    sendCommand(command);
}

void Connection::Rename(const QString& SourceFileName, const QString& DestFileName)
{
    Rename(SourceFileName.toUtf8(), DestFileName.toUtf8());
}

void Connection::Rename(const QByteArray& SourceFileName, const QByteArray& DestFileName)
{
    if (!begin(true, {SourceFileName, DestFileName}))
        return;
    m_pendingCommand = "RNTO " + DestFileName;
    startCommand(State::AwaitingRenameFromReply, "RNFR " + SourceFileName);
}

void Connection::ChangeDirectory(const QString& ToFolder)
{
    ChangeDirectory(ToFolder.toUtf8());
}

void Connection::ChangeDirectory(const QByteArray& ToFolder)
{
    if (!begin(true, {ToFolder}))
        return;
    // ".." is the parent, whatever the server's path syntax: "CWD .." is not that on every server.
    startCommand(State::AwaitingCwdReply, isParent(ToFolder) ? QByteArray("CDUP") : "CWD " + ToFolder);
}

void Connection::PrintDirectory()
{
    if (!begin(true))
        return;
    startCommand(State::AwaitingPwdReply, "PWD");
}

void Connection::MakeDirectory(const QString& NewFolder)
{
    MakeDirectory(NewFolder.toUtf8());
}

void Connection::MakeDirectory(const QByteArray& NewFolder)
{
    if (!begin(true, {NewFolder}))
        return;
    startCommand(State::AwaitingCommandReply, "MKD " + NewFolder);
}

void Connection::RemoveFile(const QString& FileName)
{
    RemoveFile(FileName.toUtf8());
}

void Connection::RemoveFile(const QByteArray& FileName)
{
    if (!begin(true, {FileName}))
        return;
    startCommand(State::AwaitingCommandReply, "DELE " + FileName);
}

void Connection::RemoveDirectory(const QString& FolderName)
{
    RemoveDirectory(FolderName.toUtf8());
}

void Connection::RemoveDirectory(const QByteArray& FolderName)
{
    if (!begin(true, {FolderName}))
        return;
    startCommand(State::AwaitingCommandReply, "RMD " + FolderName);
}

void Connection::TransferType(int TransType)
{
    if (!begin(TransType == 0 || TransType == 1))
        return;
    if (TransType != 0 && TransType != 1) {
        finishLater(Result{});
        return;
    }
    m_typeSent = TransType == 0;
    startCommand(State::AwaitingCommandReply, TransType == 0 ? "TYPE I" : "TYPE A");
}

void Connection::onCommandReply(const Reply& reply)
{
    const bool error = isErrorReply(reply);
    if (reply.isPreliminary() && !error)
        return;
    const Result result = error ? makeError(ErrorKind::Reply, reply.code, reply.lastLine()) : Result{};

    switch (m_state) {
    case State::AwaitingRenameFromReply:
        if (error) {
            // RNTO is sent only after RNFR was accepted.
            setState(State::Idle);
            finish(result);
            return;
        }
        startCommand(State::AwaitingCommandReply, std::exchange(m_pendingCommand, QByteArray()));
        return;
    case State::AwaitingCwdReply:
        if (error) {
            // Refused: the server stays where it was, and so does what we know of it.
            setState(State::Idle);
            finish(result);
            return;
        }
        // The server is elsewhere now; where exactly, only its PWD reply says.
        m_currentDirectory.clear();
        startCommand(State::AwaitingPwdReply, "PWD");
        return;
    case State::AwaitingCommandReply:
        if (const auto binary = std::exchange(m_typeSent, std::nullopt))
            m_binary = *binary && !error;
        setState(State::Idle);
        finish(result);
        return;
    default:
        return;
    }
}

}  // namespace zephra::ftp
