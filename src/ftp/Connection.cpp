#include "ftp/Connection.h"

#include "ftp/ControlChannel.h"
#include "ftp/DataChannel.h"

#include <QDir>
#include <QFileInfo>
#include <QLoggingCategory>
#include <QRandomGenerator>
#include <filesystem>
#include <system_error>

Q_LOGGING_CATEGORY(lcFtp, "zephra.ftp", QtInfoMsg)

namespace zephra::ftp {

namespace {

// Chunks handled per event before the event loop gets a turn (keeps a window responsive).
constexpr int kChunksPerEvent = 16;

// How long an aborted transfer's final reply is waited for before ABOR is sent.
constexpr int kAbortGraceMs = 1500;

bool holdsLineBreak(QStringView text)
{
    return text.contains(u'\r') || text.contains(u'\n') || text.contains(QChar(0));
}

}  // namespace

struct Connection::Transfer {
    enum class Direction { Download, Upload };

    QByteArray command;
    Direction direction = Direction::Download;
    QPointer<QIODevice> device;   // supplied by the caller
    std::unique_ptr<QFile> file;  // opened by the engine
    QString targetPath;           // download: the temporary file is renamed to it on success
    qint64 bytes = 0;
    qint64 total = -1;
    bool commandSent = false;
    bool started = false;         // the 1xx reply has been seen
    bool dataConnected = false;
    bool dataClosed = false;
    bool finalReplyOk = false;
    bool serverHoldsData = false;  // "125 Data connection already open", or bytes came from it
    bool sourceDone = false;
    bool pumping = false;
    std::optional<Result> failure;  // a data-side failure waiting for the server's final reply

    QIODevice* io() const { return file ? static_cast<QIODevice*>(file.get()) : device.data(); }
    bool isUpload() const { return direction == Direction::Upload; }
};

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
            [this](const QString& line) { addToLog(line + QStringLiteral("\r\n")); });
    connect(m_control, &ControlChannel::replyReceived, this, &Connection::onReply);
    connect(m_control, &ControlChannel::protocolError, this, &Connection::onProtocolError);
    connect(m_control, &ControlChannel::closed, this, &Connection::onControlClosed);
    connect(m_data, &DataChannel::connected, this, &Connection::onDataConnected);
    connect(m_data, &DataChannel::readyRead, this, &Connection::onDataReadyRead);
    connect(m_data, &DataChannel::bytesWritten, this, &Connection::pumpUpload);
    connect(m_data, &DataChannel::closed, this, &Connection::onDataClosed);
    connect(m_data, &DataChannel::failed, this, &Connection::onDataFailed);
}

Connection::~Connection()
{
    m_data->abort();
    releaseTransfer(false);
    m_control->abort();
}

// ---- bookkeeping ---------------------------------------------------------------------------

void Connection::setState(State state)
{
    if (m_state == state)
        return;
    qCDebug(lcFtp) << "state" << m_state << "->" << state;
    m_state = state;
    emit stateChanged(state);
}

bool Connection::begin(bool needsSession, std::initializer_list<QStringView> names)
{
    if (m_busy) {
        rejectLater(makeError(ErrorKind::Busy));
        return false;
    }
    for (QStringView name : names) {
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
    addToLog(command.startsWith("PASS ") ? QStringLiteral("PASS ****\r\n")
                                         : QString::fromUtf8(command) + QStringLiteral("\r\n"));
    m_control->send(command);
    armWatchdog();
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

// ---- operations ----------------------------------------------------------------------------

void Connection::Connect(const QString& eServer, const QString& ePort, const QString& eLogin, const QString& ePass)
{
    if (!begin(false, {eServer, eLogin, ePass}))
        return;
    bool ok = false;
    const uint port = ePort.trimmed().toUInt(&ok);
    if (!ok || port == 0 || port > 65535) {
        finishLater(makeError(ErrorKind::ConnectFailed, 0, QStringLiteral("invalid port %1").arg(ePort)));
        return;
    }
    m_data->abort();
    m_control->abort();
    m_loggedIn = false;
    m_owedReplies = 0;
    m_pendingCommand = "USER " + eLogin.toUtf8();
    m_password = ePass;
    setState(State::Connecting);
    m_control->connectToServer(eServer, quint16(port));
    armWatchdog();
}

void Connection::Disconnect()
{
    if (m_busy && m_transfer) {
        m_data->abort();
        releaseTransfer(false);
        finish(makeError(ErrorKind::Cancelled));
    } else if (m_busy) {
        finish(makeError(ErrorKind::Cancelled));
    }
    m_busy = true;
    if (m_control->isOpen()) {
        addToLog(QStringLiteral("QUIT\r\n"));
        m_control->send("QUIT");
        m_control->closeGracefully();
    } else {
        m_control->abort();
    }
    m_loggedIn = false;
    m_password.clear();
    setState(State::Disconnected);
    finishLater(Result{});
}

void Connection::Rename(const QString& SourceFileName, const QString& DestFileName)
{
    if (!begin(true, {SourceFileName, DestFileName}))
        return;
    m_pendingCommand = "RNTO " + DestFileName.toUtf8();
    setState(State::AwaitingRenameFromReply);
    sendCommand("RNFR " + SourceFileName.toUtf8());
}

void Connection::ChangeDirectory(const QString& ToFolder)
{
    if (!begin(true, {ToFolder}))
        return;
    setState(State::AwaitingCommandReply);
    sendCommand("CWD " + ToFolder.toUtf8());
}

void Connection::MakeDirectory(const QString& NewFolder)
{
    if (!begin(true, {NewFolder}))
        return;
    setState(State::AwaitingCommandReply);
    sendCommand("MKD " + NewFolder.toUtf8());
}

void Connection::RemoveFile(const QString& FileName)
{
    if (!begin(true, {FileName}))
        return;
    setState(State::AwaitingCommandReply);
    sendCommand("DELE " + FileName.toUtf8());
}

void Connection::RemoveDirectory(const QString& FolderName)
{
    if (!begin(true, {FolderName}))
        return;
    setState(State::AwaitingCommandReply);
    sendCommand("RMD " + FolderName.toUtf8());
}

void Connection::TransferType(int TransType)
{
    if (!begin(TransType == 0 || TransType == 1))
        return;
    if (TransType != 0 && TransType != 1) {
        finishLater(Result{});
        return;
    }
    setState(State::AwaitingCommandReply);
    sendCommand(TransType == 0 ? "TYPE I" : "TYPE A");
}

namespace {

// A temporary file beside the target, created new so nothing else is ever overwritten.
std::unique_ptr<QFile> openTemporaryBeside(const QString& target, QString* error)
{
    const QFileInfo info(target);
    for (int attempt = 0; attempt < 8; ++attempt) {
        const QString name = QStringLiteral("%1/.%2.%3.part")
                                 .arg(info.absolutePath(), info.fileName())
                                 .arg(QRandomGenerator::global()->generate(), 8, 16, QLatin1Char('0'));
        auto file = std::make_unique<QFile>(name);
        if (file->open(QIODevice::WriteOnly | QIODevice::NewOnly | QIODevice::Unbuffered))
            return file;
        if (file->error() != QFileDevice::OpenError || QFileInfo::exists(name) == false) {
            *error = QStringLiteral("Can't create a file beside %1: %2").arg(target, file->errorString());
            return nullptr;
        }
    }
    *error = QStringLiteral("Can't create a file beside %1").arg(target);
    return nullptr;
}

}  // namespace

void Connection::ListContents(const QString& LocalFileName)
{
    if (!begin(true))
        return;
    QString error;
    auto transfer = std::make_unique<Transfer>();
    transfer->command = "LIST";
    transfer->file = openTemporaryBeside(LocalFileName, &error);
    if (!transfer->file) {
        finishLater(makeError(ErrorKind::LocalFile, 0, error));
        return;
    }
    transfer->targetPath = LocalFileName;
    startTransfer(std::move(transfer));
}

void Connection::ListContents(QIODevice* sink)
{
    if (!begin(true))
        return;
    auto transfer = std::make_unique<Transfer>();
    transfer->command = "LIST";
    transfer->device = sink;
    startTransfer(std::move(transfer));
}

void Connection::GetFile(const QString& RemoteFileName, const QString& LocalFileName)
{
    if (!begin(true, {RemoteFileName}))
        return;
    QString error;
    auto transfer = std::make_unique<Transfer>();
    transfer->command = "RETR " + RemoteFileName.toUtf8();
    transfer->file = openTemporaryBeside(LocalFileName, &error);
    if (!transfer->file) {
        finishLater(makeError(ErrorKind::LocalFile, 0, error));
        return;
    }
    transfer->targetPath = LocalFileName;
    startTransfer(std::move(transfer));
}

void Connection::GetFile(const QString& RemoteFileName, QIODevice* sink)
{
    if (!begin(true, {RemoteFileName}))
        return;
    auto transfer = std::make_unique<Transfer>();
    transfer->command = "RETR " + RemoteFileName.toUtf8();
    transfer->device = sink;
    startTransfer(std::move(transfer));
}

void Connection::PutFile(const QString& RemoteFileName, const QString& LocalFileName)
{
    if (!begin(true, {RemoteFileName}))
        return;
    auto transfer = std::make_unique<Transfer>();
    transfer->command = "STOR " + RemoteFileName.toUtf8();
    transfer->direction = Transfer::Direction::Upload;
    // The local file is opened before STOR: a missing file must not leave an empty one on the server.
    transfer->file = std::make_unique<QFile>(LocalFileName);
    if (!transfer->file->open(QIODevice::ReadOnly | QIODevice::Unbuffered)) {
        finishLater(makeError(ErrorKind::LocalFile, 0,
                              QStringLiteral("Can't read %1: %2").arg(LocalFileName, transfer->file->errorString())));
        return;
    }
    transfer->total = transfer->file->size();
    startTransfer(std::move(transfer));
}

void Connection::PutFile(const QString& RemoteFileName, QIODevice* source, qint64 size)
{
    if (!begin(true, {RemoteFileName}))
        return;
    auto transfer = std::make_unique<Transfer>();
    transfer->command = "STOR " + RemoteFileName.toUtf8();
    transfer->direction = Transfer::Direction::Upload;
    transfer->device = source;
    transfer->total = size >= 0 ? size : (source && !source->isSequential() ? source->size() : -1);
    if (source)
        connect(source, &QIODevice::readyRead, this, &Connection::pumpUpload);
    startTransfer(std::move(transfer));
}

void Connection::cancel()
{
    if (!m_busy)
        return;
    switch (m_state) {
    case State::Connecting:
    case State::AwaitingGreeting:
    case State::AwaitingUserReply:
    case State::AwaitingPassReply:
        m_control->abort();
        m_loggedIn = false;
        setState(State::Disconnected);
        finish(makeError(ErrorKind::Cancelled));
        break;
    case State::AwaitingDataConnection:
        // No data command has been sent: the session is in step.
        m_data->abort();
        releaseTransfer(false);
        setState(State::Idle);
        finish(makeError(ErrorKind::Cancelled));
        break;
    case State::AwaitingTransferStart:
    case State::Transferring:
        abortTransfer(makeError(ErrorKind::Cancelled));
        break;
    case State::AwaitingCommandReply:
    case State::AwaitingRenameFromReply:
    case State::AwaitingPasvReply:
    case State::AwaitingPortReply:
        cancelCommand();
        break;
    case State::AwaitingResync:    // already ending; its result is reported when it has ended
    case State::Disconnected:      // Disconnect() reports on its own
    case State::Idle:
        break;
    }
}

// A command on the control connection alone ends at once; its reply, still owed, is passed over
// when it comes, so it can not be taken for the answer to the next command.
void Connection::cancelCommand()
{
    m_data->abort();  // a listener of active mode
    releaseTransfer(false);
    ++m_owedReplies;
    setState(State::Idle);
    finish(makeError(ErrorKind::Cancelled));
}

// ---- control connection --------------------------------------------------------------------

void Connection::onControlConnected()
{
    setState(State::AwaitingGreeting);
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

// The control connection is gone or can no longer be trusted: everything ends.
void Connection::dropSession(Result result)
{
    m_watchdog.stop();
    m_control->abort();
    m_data->abort();
    releaseTransfer(false);
    m_loggedIn = false;
    m_password.clear();
    m_owedReplies = 0;
    setState(State::Disconnected);
    if (m_busy)
        finish(m_resyncResult ? *std::exchange(m_resyncResult, std::nullopt) : result);
    m_resyncResult.reset();
}

void Connection::onWatchdog()
{
    // Data progress only notes the time (re-arming a timer per block costs); the rest of the
    // period is waited for here.
    const qint64 quiet = m_sinceProgress.elapsed();
    if (quiet < m_watchLimit) {
        m_watchdog.start(int(qMax<qint64>(1, m_watchLimit - quiet)));
        return;
    }
    const Result timeOut = makeError(ErrorKind::TimeOut);
    switch (m_state) {
    case State::AwaitingResync:
        if (!m_aborSent) {
            // The server said nothing about the transfer after the data connection closed: it
            // may be stuck in it. ABOR ends it; everything it says up to the NOOP's 200 belongs
            // to the transfer.
            m_aborSent = true;
            sendCommand("ABOR");
            sendCommand("NOOP");
            return;
        }
        break;
    case State::AwaitingDataConnection:
        // The server never accepted our data connection; no data command was sent.
        m_data->abort();
        releaseTransfer(false);
        setState(State::Idle);
        finish(timeOut);
        return;
    case State::AwaitingTransferStart:
    case State::Transferring:
        if (m_transfer && !m_transfer->dataClosed) {
            // No progress on the data connection: end the transfer, keep the session.
            abortTransfer(timeOut);
            return;
        }
        break;
    default:
        break;
    }
    // A reply did not come in time: later replies could no longer be matched to commands.
    dropSession(timeOut);
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
    const bool error = isErrorReply(reply);
    const auto failWith = [&] { return makeError(ErrorKind::Reply, reply.code, reply.lastLine()); };

    switch (m_state) {
    case State::AwaitingGreeting:
        if (reply.isPreliminary() && !error)
            return;  // "120 ready in n minutes": the greeting follows
        if (error || reply.code / 100 != 2) {
            dropSession(failWith());
            return;
        }
        setState(State::AwaitingUserReply);
        sendCommand(std::exchange(m_pendingCommand, QByteArray()));
        return;
    case State::AwaitingUserReply:
    case State::AwaitingPassReply:
        if (reply.isPreliminary() && !error)
            return;
        if (!error && reply.code == 331 && m_state == State::AwaitingUserReply) {
            setState(State::AwaitingPassReply);
            sendCommand("PASS " + m_password.toUtf8());
            return;
        }
        m_password.clear();
        if (error || reply.code / 100 != 2) {
            // A refused login is an error, and the session is not kept half open.
            dropSession(reply.code / 100 == 3 && !error
                            ? makeError(ErrorKind::Reply, 530, reply.lastLine())
                            : failWith());
            return;
        }
        m_loggedIn = true;
        setState(State::Idle);
        finish(Result{});
        return;
    case State::AwaitingCommandReply:
        if (reply.isPreliminary() && !error)
            return;
        setState(State::Idle);
        finish(error ? failWith() : Result{});
        return;
    case State::AwaitingRenameFromReply:
        if (reply.isPreliminary() && !error)
            return;
        if (error) {
            // RNTO is sent only after RNFR was accepted.
            setState(State::Idle);
            finish(failWith());
            return;
        }
        setState(State::AwaitingCommandReply);
        sendCommand(std::exchange(m_pendingCommand, QByteArray()));
        return;
    case State::AwaitingPasvReply:
    case State::AwaitingPortReply:
    case State::AwaitingTransferStart:
    case State::Transferring:
        onTransferReply(reply);
        return;
    case State::AwaitingResync:
        // Before ABOR, the first final reply ends the aborted transfer (226 or 426 as a rule);
        // after ABOR, everything up to the NOOP's 200 belongs to it.
        if (m_aborSent ? reply.code == 200 : !reply.isPreliminary()) {
            setState(State::Idle);
            finish(*std::exchange(m_resyncResult, std::nullopt));
        }
        return;
    case State::Disconnected:
    case State::Connecting:
    case State::Idle:
    case State::AwaitingDataConnection:
        qCDebug(lcFtp) << "unsolicited reply" << reply.code << "in" << m_state;
        return;
    }
}

// ---- transfers -----------------------------------------------------------------------------

void Connection::startTransfer(std::unique_ptr<Transfer> transfer)
{
    m_transfer = std::move(transfer);
    if (m_buffer.size() != kBlockSize)
        m_buffer.resize(kBlockSize);
    openDataConnection();
}

void Connection::openDataConnection()
{
    if (m_connectionMode != QLatin1String("PORT")) {
        setState(State::AwaitingPasvReply);
        sendCommand("PASV");
        return;
    }
    // Active mode: our end of the control connection is the address the server can reach.
    const QHostAddress local = m_control->localAddress();
    const auto port = m_data->listen(local, m_control->peerAddress());
    const QString argument = port ? portArgument(local, *port) : QString();
    if (argument.isEmpty()) {
        m_data->abort();
        releaseTransfer(false);
        setState(State::Idle);
        finish(makeError(ErrorKind::DataConnection));
        return;
    }
    setState(State::AwaitingPortReply);
    sendCommand("PORT " + argument.toLatin1());
}

void Connection::onTransferReply(const Reply& reply)
{
    Transfer& t = *m_transfer;
    const bool error = isErrorReply(reply);
    const auto failWith = [&] { return makeError(ErrorKind::Reply, reply.code, reply.lastLine()); };

    switch (m_state) {
    case State::AwaitingPasvReply: {
        if (reply.isPreliminary() && !error)
            return;
        if (error) {
            failTransfer(failWith());
            return;
        }
        const auto port = reply.code == 227 ? parsePassiveReply(reply.lastLine()) : std::nullopt;
        if (!port) {
            failTransfer(makeError(ErrorKind::DataConnection, reply.code, reply.lastLine()));
            return;
        }
        // The address in the reply is not trusted: data goes to the server we are talking to.
        setState(State::AwaitingDataConnection);
        m_data->connectTo(m_control->peerAddress(), *port);
        armWatchdog();
        return;
    }
    case State::AwaitingPortReply:
        if (reply.isPreliminary() && !error)
            return;
        if (error) {
            failTransfer(failWith());
            return;
        }
        setState(State::AwaitingTransferStart);
        t.commandSent = true;
        sendCommand(t.command);
        return;
    case State::AwaitingTransferStart:
        if (error) {
            // Refused (550 ...) or failed before it began: the reply is final, the session in step.
            failTransfer(failWith());
            return;
        }
        if (reply.isPreliminary()) {
            t.started = true;
            t.serverHoldsData = reply.code == 125;
            if (!t.isUpload() && t.total < 0)
                t.total = announcedSize(reply.lastLine());
            setState(State::Transferring);
            armWatchdog();
            if (t.isUpload() && t.dataConnected)
                pumpUpload();
            return;
        }
        // A completion reply before the 1xx (some servers skip it): the transfer still ends
        // only when the data connection has closed too.
        t.started = true;
        t.finalReplyOk = true;
        setState(State::Transferring);
        armWatchdog();
        if (t.isUpload() && t.dataConnected)
            pumpUpload();
        checkTransferDone();
        return;
    case State::Transferring:
        if (reply.isPreliminary() && !error)
            return;
        if (error) {
            failTransfer(t.failure ? *t.failure : failWith());
            return;
        }
        t.finalReplyOk = true;
        checkTransferDone();
        return;
    default:
        return;
    }
}

void Connection::onDataConnected()
{
    if (!m_transfer)
        return;
    Transfer& t = *m_transfer;
    t.dataConnected = true;
    if (m_state == State::AwaitingDataConnection) {
        setState(State::AwaitingTransferStart);
        t.commandSent = true;
        sendCommand(t.command);
        return;
    }
    armWatchdog();
    if (t.isUpload() && t.started)
        pumpUpload();
}

void Connection::onDataReadyRead()
{
    if (!m_transfer || m_transfer->isUpload())
        return;
    Transfer& t = *m_transfer;
    for (int i = 0; i < kChunksPerEvent; ++i) {
        const qint64 n = m_data->read(m_buffer.data(), kBlockSize);
        if (n <= 0)
            break;
        QIODevice* sink = t.io();
        if (!sink || sink->write(m_buffer.constData(), n) != n) {
            const QString reason = sink ? sink->errorString() : QStringLiteral("the receiving device is gone");
            abortTransfer(makeError(ErrorKind::LocalFile, 0, QStringLiteral("Can't write the local file: %1").arg(reason)));
            return;
        }
        t.bytes += n;
        t.serverHoldsData = true;
        const Transfer* current = &t;
        emit transferProgress(t.bytes, t.total);
        if (m_transfer.get() != current)
            return;  // a receiver cancelled it
        m_sinceProgress.start();
    }
    // What is left waits for the next event loop pass (a buffered socket announces nothing new).
    if (m_data->socket() && m_data->socket()->bytesAvailable() > 0)
        QMetaObject::invokeMethod(this, &Connection::onDataReadyRead, Qt::QueuedConnection);
}

void Connection::onDataClosed()
{
    if (!m_transfer)
        return;
    // A buffered socket reports its end while bytes are still in its buffer: take them all.
    for (int pass = 0; m_transfer && !m_transfer->isUpload() && m_data->socket()
                       && m_data->socket()->bytesAvailable() > 0 && pass < 1024; ++pass)
        onDataReadyRead();
    if (!m_transfer)
        return;
    Transfer& t = *m_transfer;
    if (t.isUpload() && !t.sourceDone && !t.failure) {
        // The server hung up before the whole file was sent.
        t.failure = makeError(ErrorKind::TransferAborted);
    }
    t.dataClosed = true;
    armWatchdog();  // now only the final reply is awaited
    checkTransferDone();
}

void Connection::onDataFailed(const QString& reason)
{
    qCDebug(lcFtp) << "data connection failed:" << reason;
    if (!m_transfer)
        return;
    if (m_state == State::AwaitingDataConnection) {
        m_data->abort();
        releaseTransfer(false);
        setState(State::Idle);
        finish(makeError(ErrorKind::DataConnection, 0, reason));
        return;
    }
    Transfer& t = *m_transfer;
    if (!t.failure)
        t.failure = makeError(ErrorKind::TransferAborted, 0, reason);
    t.dataClosed = true;
    m_data->abort();
    armWatchdog();  // the server's final reply still has to be read to stay in step
    checkTransferDone();
}

void Connection::pumpUpload()
{
    if (!m_transfer || !m_transfer->isUpload())
        return;
    Transfer& t = *m_transfer;
    QTcpSocket* socket = m_data->socket();
    if (t.pumping || !socket || !t.started || t.dataClosed || t.sourceDone
        || m_state != State::Transferring)
        return;
    t.pumping = true;
    int chunks = 0;
    bool more = false;
    // A block goes straight to the kernel; only what it could not take yet is queued (and
    // copied) in the socket, and the next block waits until that is out.
    while (socket->bytesToWrite() == 0) {
        if (++chunks > kChunksPerEvent) {
            more = true;
            break;
        }
        QIODevice* source = t.io();
        if (!source) {
            t.pumping = false;
            abortTransfer(makeError(ErrorKind::LocalFile, 0, QStringLiteral("the sending device is gone")));
            return;
        }
        const qint64 n = source->read(m_buffer.data(), kBlockSize);
        if (n < 0) {
            t.pumping = false;
            abortTransfer(makeError(ErrorKind::LocalFile, 0,
                                    QStringLiteral("Can't read the local file: %1").arg(source->errorString())));
            return;
        }
        if (n == 0) {
            if (source->isSequential() && !source->atEnd())
                break;  // a producer with nothing yet: its readyRead() resumes us
            t.sourceDone = true;
            break;
        }
        if (socket->write(m_buffer.constData(), n) != n) {
            t.pumping = false;
            onDataFailed(socket->errorString());
            return;
        }
        t.bytes += n;
        const Transfer* current = &t;
        emit transferProgress(t.bytes, t.total);
        if (m_transfer.get() != current)
            return;  // a receiver cancelled it
        m_sinceProgress.start();
    }
    t.pumping = false;
    if (t.sourceDone) {
        // End of file for the server: close once the queued bytes are out.
        m_data->finishSending();
        return;
    }
    if (more && socket->bytesToWrite() == 0)
        QMetaObject::invokeMethod(this, &Connection::pumpUpload, Qt::QueuedConnection);
}

void Connection::checkTransferDone()
{
    if (!m_transfer || !m_transfer->finalReplyOk || !m_transfer->dataClosed)
        return;
    Transfer& t = *m_transfer;
    if (!t.failure && !t.isUpload() && t.total >= 0 && t.bytes != t.total)
        t.failure = makeError(ErrorKind::TransferAborted, 0,  // fewer bytes than the server announced
                              QStringLiteral("%1 of %2 bytes arrived").arg(t.bytes).arg(t.total));
    if (t.failure) {
        failTransfer(*t.failure);
        return;
    }
    const Result committed = commitTransfer();
    m_data->abort();
    releaseTransfer(committed.ok());
    setState(State::Idle);
    finish(committed);
}

// The server's final reply has been read (or no data command was sent): the session stays in step.
void Connection::failTransfer(Result result)
{
    m_data->abort();
    releaseTransfer(false);
    setState(m_control->isOpen() ? State::Idle : State::Disconnected);
    finish(result);
}

// The data command is outstanding: our end of the data connection closes, and the server's final
// reply about the transfer is awaited so the replies stay in step.
//
// No ABOR goes out at once. A server may answer STOR with "150 File status okay. About to open
// data connection." and take up our (already connected) data connection only later; pyftpdlib
// 1.5.7, sent ABOR in that moment, answers "225 ABOR command successful; data channel closed."
// but keeps the upload pending, hands the next data connection to it, and the next RETR then
// waits for ever ("125 Data connection already open. Transfer starting." and no byte).
// So the connection is closed gracefully unless the server surely holds it: a reset connection
// still waiting in its accept queue is dropped by it, and the transfer never ends; a closed one
// is taken up and answered (226 for an upload read to its end, 426 for a download it can no
// longer send).
void Connection::abortTransfer(Result result)
{
    Transfer& t = *m_transfer;
    if (t.finalReplyOk) {
        // The final reply has come already (only the data close was awaited): in step.
        failTransfer(result);
        return;
    }
    m_data->abort(t.serverHoldsData ? DataChannel::Ending::Reset : DataChannel::Ending::Graceful);
    releaseTransfer(false);
    m_resyncResult = result;
    m_aborSent = false;
    setState(State::AwaitingResync);
    armWatchdog(qMin(m_timeOut, kAbortGraceMs));
}

Result Connection::commitTransfer()
{
    Transfer& t = *m_transfer;
    if (!t.file || t.targetPath.isEmpty())
        return Result{};
    t.file->close();
    std::error_code ec;
    std::filesystem::rename(QFile::encodeName(t.file->fileName()).toStdString(),
                            QFile::encodeName(t.targetPath).toStdString(), ec);
    if (ec)
        return makeError(ErrorKind::LocalFile, 0,
                         QStringLiteral("Can't replace %1: %2").arg(t.targetPath, QString::fromStdString(ec.message())));
    t.targetPath.clear();
    return Result{};
}

void Connection::releaseTransfer(bool success)
{
    if (!m_transfer)
        return;
    Transfer& t = *m_transfer;
    if (t.device)
        disconnect(t.device, nullptr, this, nullptr);
    if (t.file) {
        t.file->close();
        // A download that did not complete leaves no trace; the target was never touched.
        if (!t.targetPath.isEmpty() && !success)
            QFile::remove(t.file->fileName());
    }
    m_transfer.reset();
}

}  // namespace zephra::ftp
