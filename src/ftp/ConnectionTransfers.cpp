// Transfers: the listing, downloads and uploads, from the PASV or PORT exchange to the moment
// both the server's final reply and the data connection's end are in.
#include "ftp/Connection.h"

#include "ftp/ConnectionTransfer.h"
#include "ftp/ControlChannel.h"
#include "ftp/DataChannel.h"
#include "ftp/Listing.h"
#include "ftp/ListingLimit.h"
#include "ftp/LocalFile.h"


namespace zephra::ftp {

namespace {

// Chunks handled per event before the event loop gets a turn (keeps a window responsive).
constexpr int kChunksPerEvent = 16;

}  // namespace

// ---- operations ----------------------------------------------------------------------------

void Connection::ListContents(const QString& LocalFileName)
{
    list(LocalFileName, nullptr);
}

void Connection::ListContents(QIODevice* sink)
{
    list(QString(), sink);
}

void Connection::GetFile(const QString& RemoteFileName, const QString& LocalFileName)
{
    download(RemoteFileName.toUtf8(), LocalFileName, nullptr);
}

void Connection::GetFile(const QByteArray& RemoteFileName, const QString& LocalFileName)
{
    download(RemoteFileName, LocalFileName, nullptr);
}

void Connection::GetFile(const QString& RemoteFileName, QIODevice* sink)
{
    download(RemoteFileName.toUtf8(), QString(), sink);
}

void Connection::GetFile(const QByteArray& RemoteFileName, QIODevice* sink)
{
    download(RemoteFileName, QString(), sink);
}

void Connection::PutFile(const QString& RemoteFileName, const QString& LocalFileName)
{
    upload(RemoteFileName.toUtf8(), LocalFileName, nullptr, -1);
}

void Connection::PutFile(const QByteArray& RemoteFileName, const QString& LocalFileName)
{
    upload(RemoteFileName, LocalFileName, nullptr, -1);
}

void Connection::PutFile(const QString& RemoteFileName, QIODevice* source, qint64 size)
{
    upload(RemoteFileName.toUtf8(), QString(), source, size);
}

void Connection::PutFile(const QByteArray& RemoteFileName, QIODevice* source, qint64 size)
{
    upload(RemoteFileName, QString(), source, size);
}

void Connection::GetFile(const QByteArray& RemoteFileName, QIODevice* sink, qint64 from)
{
    download(RemoteFileName, QString(), sink, from);
}

void Connection::PutFile(const QByteArray& RemoteFileName, QIODevice* source, qint64 size, qint64 from)
{
    upload(RemoteFileName, QString(), source, size, from);
}

void Connection::list(const QString& localFileName, QIODevice* sink)
{
    if (!begin(true))
        return;
    auto transfer = std::make_unique<Transfer>();
    // MLSD gives exact names, types, sizes and times (RFC 3659); LIST leaves them to guessing.
    transfer->command = m_features.mlsd ? "MLSD" : "LIST";
    transfer->listing = true;
    if (sink) {
        transfer->device = sink;
    } else {
        QString error;
        transfer->replacement = std::make_unique<LocalFileReplacement>(localFileName);
        if (!transfer->replacement->open(&error)) {
            finishLater(makeError(ErrorKind::LocalFile, 0, error));
            return;
        }
    }
    startTransfer(std::move(transfer));
}

void Connection::download(const QByteArray& name, const QString& localFileName, QIODevice* sink, qint64 from)
{
    if (!begin(true, {name}))
        return;
    auto transfer = std::make_unique<Transfer>();
    transfer->command = "RETR " + name;
    transfer->from = qMax<qint64>(0, from);
    transfer->bytes = transfer->from;
    // The length the server delivers is checked against SIZE: a 226 after half a file is not a
    // complete download. In ASCII mode the lengths differ by the line ends, so only in binary.
    if (m_features.size && m_binary)
        transfer->sizeCommand = "SIZE " + name;
    if (sink) {
        transfer->device = sink;
    } else {
        QString error;
        transfer->replacement = std::make_unique<LocalFileReplacement>(localFileName);
        if (!transfer->replacement->open(&error)) {
            finishLater(makeError(ErrorKind::LocalFile, 0, error));
            return;
        }
    }
    startTransfer(std::move(transfer));
}

void Connection::upload(const QByteArray& name, const QString& localFileName, QIODevice* source, qint64 size,
                        qint64 from)
{
    if (!begin(true, {name}))
        return;
    auto transfer = std::make_unique<Transfer>();
    transfer->command = "STOR " + name;
    transfer->from = qMax<qint64>(0, from);
    transfer->bytes = transfer->from;
    if (transfer->from > 0) {
        transfer->appendCommand = "APPE " + name;
        if (m_restStorRefused)
            transfer->command = transfer->appendCommand;
    }
    transfer->direction = Transfer::Direction::Upload;
    // A 226 is not proof that the server kept the whole file (pyftpdlib says it after a reset
    // connection): where SIZE measures bytes, the length it reports is compared afterwards.
    if (m_features.size && m_binary)
        transfer->verifyCommand = "SIZE " + name;
    if (localFileName.isEmpty()) {
        transfer->device = source;
        transfer->total = size >= 0 ? size : (source && !source->isSequential() ? source->size() : -1);
        if (source)
            connect(source, &QIODevice::readyRead, this, &Connection::pumpUpload);
    } else {
        // The local file is opened before STOR: a missing file must not leave an empty one on the server.
        transfer->file = std::make_unique<QFile>(localFileName);
        if (!transfer->file->open(QIODevice::ReadOnly | QIODevice::Unbuffered)) {
            finishLater(makeError(ErrorKind::LocalFile, 0,
                                  QStringLiteral("Can't read %1: %2").arg(localFileName, transfer->file->errorString())));
            return;
        }
        transfer->total = transfer->file->size();
    }
    startTransfer(std::move(transfer));
}

// ---- the exchange --------------------------------------------------------------------------

void Connection::startTransfer(std::unique_ptr<Transfer> transfer)
{
    m_transfer = std::move(transfer);
    if (m_buffer.size() != kBlockSize)
        m_buffer.resize(kBlockSize);
    if (!m_transfer->sizeCommand.isEmpty()) {
        setState(State::AwaitingSizeReply);
        sendCommand(m_transfer->sizeCommand);
        return;
    }
    openDataConnection();
}

void Connection::openDataConnection()
{
    prepareDataTls();
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
        releaseTransfer();
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
    case State::AwaitingSizeReply:
        if (reply.isPreliminary() && !error)
            return;
        if (t.isUpload()) {
            verifyUploadLength(reply);
            return;
        }
        // A refusal (550 for a file SIZE can not measure, 502) only leaves the length unchecked.
        if (const qint64 size = error ? -1 : parseSizeReply(reply.lastLine()); size >= 0) {
            t.total = size;
            t.sizeKnown = true;
        }
        openDataConnection();
        return;
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
        sendTransferCommand();
        return;
    case State::AwaitingRestReply:
        if (reply.isPreliminary() && !error)
            return;
        if (reply.code != 350 && t.isUpload() && !t.appendCommand.isEmpty()) {
            // Servers without REST STREAM for uploads ("502 REST not implemented.") still append.
            m_restStorRefused = true;
            t.command = t.appendCommand;
        } else if (reply.code != 350) {
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
            failTransfer(dataFailure(reply));
            return;
        }
        // The data connection's handshake starts once the server has taken the command: a
        // server may take bytes that come earlier for a transfer of their own (pyftpdlib resets
        // such a connection).
        if (m_protectData && t.dataConnected)
            m_data->startTls();
        if (reply.isPreliminary()) {
            t.started = true;
            t.serverHoldsData = reply.code == 125;
            // "150 ... (N bytes)" may count the whole file or what is left of it after REST.
            if (!t.isUpload() && !t.sizeKnown && t.from == 0)
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
            failTransfer(dataFailure(reply));
            return;
        }
        t.finalReplyOk = true;
        // The server confirms the whole upload: its close is no longer awaited.
        if (t.isUpload() && t.sourceDone && m_data->isLingering())
            t.dataClosed = true;
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
        sendTransferCommand();
        return;
    }
    armWatchdog();
    // Active mode: the server connects after its 1xx; RFC 4217 keeps us the TLS client.
    if (m_protectData && t.started)
        m_data->startTls();
    if (t.isUpload() && t.started)
        pumpUpload();
}

// The data connection is ready (passive) or announced (active): the transfer command goes out,
// after REST for a resumed transfer (RFC 3659: REST comes right before RETR or STOR). A resumed
// upload on a server that refused REST before goes straight to APPE.
void Connection::sendTransferCommand()
{
    Transfer& t = *m_transfer;
    if (t.from > 0 && !t.command.startsWith("APPE ")) {
        setState(State::AwaitingRestReply);
        sendCommand("REST " + QByteArray::number(t.from));
        return;
    }
    setState(State::AwaitingTransferStart);
    t.commandSent = true;
    sendCommand(t.command);
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
        if (t.listing && !t.listingMeter.add(QByteArrayView(m_buffer.constData(), n))) {
            // A hostile server could otherwise fill the disk or, through a device, the memory.
            abortTransfer(makeError(ErrorKind::ListingTooLarge, 0, decodeServerName(m_currentDirectory)), m_timeOut);
            return;
        }
        QIODevice* sink = t.io();
        if (!sink || sink->write(m_buffer.constData(), n) != n) {
            const QString reason = sink ? sink->errorString() : QStringLiteral("the receiving device is gone");
            abortTransfer(makeError(ErrorKind::LocalFile, 0, QStringLiteral("Can't write the local file: %1").arg(reason)),
                          m_timeOut);
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
    // TLS: the server's close_notify ends the download; answering it closes our side, which a
    // server may wait for before its final reply (vsftpd does).
    if (!t.isUpload())
        m_data->finishSending();
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
        releaseTransfer();
        setState(State::Idle);
        finish(makeError(ErrorKind::DataConnection, 0, reason));
        return;
    }
    Transfer& t = *m_transfer;
    if (!t.failure)
        t.failure = makeError(m_data->tlsFailed() ? ErrorKind::TlsFailed : ErrorKind::TransferAborted, 0, reason);
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
        || m_state != State::Transferring || !m_data->isReady())
        return;
    t.pumping = true;
    int chunks = 0;
    bool more = false;
    // A block goes straight to the kernel; only what it could not take yet is queued (and
    // copied) in the socket, and the next block waits until that is out.
    while (m_data->pendingBytes() == 0) {
        if (++chunks > kChunksPerEvent) {
            more = true;
            break;
        }
        QIODevice* source = t.io();
        if (!source) {
            t.pumping = false;
            abortTransfer(makeError(ErrorKind::LocalFile, 0, QStringLiteral("the sending device is gone")), m_timeOut);
            return;
        }
        const qint64 n = source->read(m_buffer.data(), kBlockSize);
        if (n < 0) {
            t.pumping = false;
            abortTransfer(makeError(ErrorKind::LocalFile, 0,
                                    QStringLiteral("Can't read the local file: %1").arg(source->errorString())),
                          m_timeOut);
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
    if (more && m_data->pendingBytes() == 0)
        QMetaObject::invokeMethod(this, &Connection::pumpUpload, Qt::QueuedConnection);
}

void Connection::checkTransferDone()
{
    if (!m_transfer || !m_transfer->finalReplyOk || !m_transfer->dataClosed)
        return;
    Transfer& t = *m_transfer;
    if (!t.failure && !t.isUpload() && t.total >= 0 && t.bytes != t.total)
        t.failure = makeError(ErrorKind::TransferAborted, 0,  // not the length the server gave
                              QStringLiteral("%1 of %2 bytes arrived").arg(t.bytes).arg(t.total));
    if (t.failure) {
        failTransfer(*t.failure);
        return;
    }
    if (t.isUpload() && !t.verifyCommand.isEmpty()) {
        m_data->abort();
        setState(State::AwaitingSizeReply);
        sendCommand(std::exchange(t.verifyCommand, QByteArray()));
        return;
    }
    const Result committed = commitTransfer();
    m_data->abort();
    releaseTransfer();
    setState(State::Idle);
    finish(committed);
}

// The SIZE reply after an upload the server confirmed. A refusal (a drop box's "550 Permission
// denied.") leaves the length unchecked; another length than was sent is a failed upload.
void Connection::verifyUploadLength(const Reply& reply)
{
    const Transfer& t = *m_transfer;
    const qint64 size = isErrorReply(reply) ? -1 : parseSizeReply(reply.lastLine());
    if (size >= 0 && size != t.bytes) {
        failTransfer(makeError(ErrorKind::TransferAborted, 0,
                               QStringLiteral("the server holds %1 of the %2 bytes sent").arg(size).arg(t.bytes)));
        return;
    }
    m_data->abort();
    releaseTransfer();
    setState(State::Idle);
    finish(Result{});
}

// The server's final reply has been read (or no data command was sent): the session stays in step.
void Connection::failTransfer(Result result)
{
    m_data->abort();
    releaseTransfer();
    setState(m_control->isOpen() ? State::Idle : State::Disconnected);
    finish(result);
}

Result Connection::commitTransfer()
{
    Transfer& t = *m_transfer;
    QString error;
    if (t.replacement && !t.replacement->commit(&error))
        return makeError(ErrorKind::LocalFile, 0, error);
    return Result{};
}

void Connection::releaseTransfer()
{
    if (!m_transfer)
        return;
    if (m_transfer->device)
        disconnect(m_transfer->device, nullptr, this, nullptr);
    // A download that was not committed leaves no trace; its target was never touched.
    m_transfer.reset();
}

}  // namespace zephra::ftp
