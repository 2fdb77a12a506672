#include "ftp/DataChannel.h"

#include <mutex>

#ifdef Q_OS_UNIX
#include <cerrno>
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>
#endif
#ifdef __GLIBC__
#include <malloc.h>
#endif

namespace zephra::ftp {

namespace {

// QSslSocket passes every read and write through heap buffers of up to a read buffer's size
// that it frees at once. With glibc's default thresholds each such buffer went back to the
// kernel (munmap, or trimming the heap) and was faulted in afresh for the next record batch:
// about 120 000 page faults and 0.2 to 0.3 s of system time per 256 MiB over TLS, a third of the
// engine's FTPS time (bench/ftp_throughput.sh). Buffers up to 4 MiB now stay in the heap, and
// up to 8 MiB of free heap is kept: peak memory grows by about 1.5 MiB.
void keepTlsBuffersInHeap()
{
#ifdef __GLIBC__
    static std::once_flag once;
    std::call_once(once, [] {
        mallopt(M_MMAP_THRESHOLD, 4 * 1024 * 1024);
        mallopt(M_TRIM_THRESHOLD, 8 * 1024 * 1024);
    });
#endif
}

}  // namespace

// Accepted sockets are made unbuffered like the passive ones.
class DataChannel::Listener final : public QTcpServer {
public:
    explicit Listener(DataChannel* owner)
        : m_owner(owner)
    {
    }

protected:
    void incomingConnection(qintptr descriptor) override
    {
        auto socket = m_owner->makeSocket();
        if (!socket->setSocketDescriptor(descriptor, QAbstractSocket::ConnectedState,
                                         QIODevice::ReadWrite | QIODevice::Unbuffered))
            return;
        // Only the server we talk to may deliver the data (RFC 2577: no bounce or theft).
        if (!socket->peerAddress().isEqual(m_owner->m_expectedPeer, QHostAddress::TolerantConversion)) {
            socket->abort();
            return;
        }
        m_owner->adopt(std::move(socket));
    }

private:
    DataChannel* m_owner;
};

DataChannel::DataChannel(QObject* parent)
    : QObject(parent)
{
}

DataChannel::~DataChannel()
{
    abort();
}

std::unique_ptr<QTcpSocket> DataChannel::makeSocket() const
{
    if (!m_tls)
        return std::make_unique<QTcpSocket>();
    keepTlsBuffersInHeap();
    auto socket = std::make_unique<QSslSocket>();
    socket->setSslConfiguration(m_tls->configuration);
    socket->setPeerVerifyName(m_tls->peerName);
    socket->setReadBufferSize(kAcceptedReadBuffer);
    return socket;
}

void DataChannel::startTls()
{
    auto* socket = qobject_cast<QSslSocket*>(m_socket.get());
    if (!socket || !m_tls || socket->mode() != QSslSocket::UnencryptedMode || m_done)
        return;
    socket->startClientEncryption();
}

bool DataChannel::isReady() const
{
    if (!isConnected())
        return false;
    return !m_tls || m_encrypted;
}

qint64 DataChannel::pendingBytes() const
{
    if (!m_socket)
        return 0;
    const auto* socket = qobject_cast<const QSslSocket*>(m_socket.get());
    return m_socket->bytesToWrite() + (socket ? socket->encryptedBytesToWrite() : 0);
}

void DataChannel::failTls(const QString& reason)
{
    if (m_done)
        return;
    m_done = true;
    m_tlsFailed = true;
    emit failed(QStringLiteral("TLS on the data connection: %1").arg(reason));
}

void DataChannel::connectTo(const QHostAddress& host, quint16 port)
{
    abort();
    m_done = false;
    m_tlsFailed = false;
    auto socket = makeSocket();
    QTcpSocket* raw = socket.get();
    connect(raw, &QTcpSocket::connected, this, &DataChannel::connected);
    attach(std::move(socket));
    raw->connectToHost(host, port, m_tls ? QIODevice::ReadWrite : QIODevice::ReadWrite | QIODevice::Unbuffered);
}

std::optional<quint16> DataChannel::listen(const QHostAddress& local, const QHostAddress& expectedPeer)
{
    abort();
    m_done = false;
    m_tlsFailed = false;
    m_expectedPeer = expectedPeer;
    m_listener = std::make_unique<Listener>(this);
    if (!m_listener->listen(local, 0)) {
        m_listener.reset();
        return std::nullopt;
    }
    return m_listener->serverPort();
}

void DataChannel::attach(std::unique_ptr<QTcpSocket> socket)
{
    QTcpSocket* raw = socket.get();
    m_socket = std::move(socket);
    connect(raw, &QTcpSocket::readyRead, this, &DataChannel::readyRead);
    connect(raw, &QTcpSocket::bytesWritten, this, &DataChannel::bytesWritten);
    connect(raw, &QTcpSocket::errorOccurred, this, &DataChannel::onError);
    m_encrypted = false;
    connect(raw, &QTcpSocket::disconnected, this, [this] {
        if (m_linger >= 0) {
            lingerOnDescriptor();
            return;
        }
        // (The socket forgets it was encrypted once it is closed.)
        if (m_tls && !m_encrypted) {
            failTls(QStringLiteral("the server closed it before the handshake was done"));
            return;
        }
        if (!m_done) {
            m_done = true;
            emit closed();
        }
    });
    if (auto* ssl = qobject_cast<QSslSocket*>(raw)) {
        connect(ssl, &QSslSocket::encrypted, this, [this] {
            m_encrypted = true;
            emit encrypted();
        });
        connect(ssl, &QSslSocket::encryptedBytesWritten, this, &DataChannel::bytesWritten);
        connect(ssl, &QSslSocket::newSessionTicketReceived, this,
                [this, ssl] { emit sessionTicket(ssl->sslConfiguration().sessionTicket()); });
        // The data connection must show the certificate the control connection showed; that
        // one was verified or trusted by the user already.
        connect(ssl, &QSslSocket::sslErrors, this, [this, ssl](const QList<QSslError>&) {
            if (m_tls && !ssl->peerCertificate().isNull() && ssl->peerCertificate() == m_tls->controlCertificate)
                ssl->ignoreSslErrors();
        });
    }
}

void DataChannel::adopt(std::unique_ptr<QTcpSocket> socket)
{
    if (m_listener) {
        m_listener->close();
        m_listener.release()->deleteLater();  // we are inside its incomingConnection()
    }
    QTcpSocket* raw = socket.get();
    // An accepted socket stays buffered whatever its open mode says (seen with Qt 6.4): bound
    // its buffer, and expect its end to be reported while bytes are still buffered.
    raw->setReadBufferSize(kAcceptedReadBuffer);
    m_tlsFailed = false;
    attach(std::move(socket));
    emit connected();
    // Bytes (or even the close) may have arrived before the socket was adopted.
    if (raw->bytesAvailable() > 0)
        emit readyRead();
}

bool DataChannel::isConnected() const
{
    return m_socket && m_socket->state() == QAbstractSocket::ConnectedState;
}

// The end of an upload over TLS. QSslSocket sends close_notify and closes the descriptor at
// once. A TLS 1.3 server sends NewSessionTicket records after the handshake, often while our
// whole file still sits unsent in the kernel's send queue (up to 3 MB on loopback) because the
// server is slow to read: a record arriving at a closed socket makes the kernel answer with a
// reset and drop that queue. vsftpd then reported "426 Failure reading network stream"; pyftpdlib
// took the reset for the end of the file and answered 226 for a truncated upload. So the
// descriptor is duplicated first: Qt's close leaves the connection open, our copy sends the end
// of file (FIN after close_notify) and reads and drops whatever the server sends until it
// closes; only then is the transfer's data side done (closed()).
void DataChannel::finishSending()
{
    if (!m_socket)
        return;
#ifdef Q_OS_UNIX
    if (m_tls && m_encrypted && !m_done && m_linger < 0 && m_socket->state() == QAbstractSocket::ConnectedState
        && m_socket->socketDescriptor() >= 0)
        m_linger = ::fcntl(int(m_socket->socketDescriptor()), F_DUPFD_CLOEXEC, 0);
#endif
    m_socket->disconnectFromHost();
}

// Qt has written close_notify and closed its descriptor; ours keeps the connection.
void DataChannel::lingerOnDescriptor()
{
#ifdef Q_OS_UNIX
    if (m_linger < 0 || m_lingerNotifier)
        return;
    ::shutdown(m_linger, SHUT_WR);
    m_lingerNotifier = std::make_unique<QSocketNotifier>(m_linger, QSocketNotifier::Read);
    connect(m_lingerNotifier.get(), &QSocketNotifier::activated, this, &DataChannel::readLingering);
    readLingering();  // what arrived before
#endif
}

void DataChannel::readLingering()
{
#ifdef Q_OS_UNIX
    char scrap[16 * 1024];
    while (m_linger >= 0) {
        const ssize_t n = ::recv(m_linger, scrap, sizeof scrap, MSG_DONTWAIT);
        if (n > 0) {
            m_lingerDropped += n;
            // Tickets and close_notify are a few hundred bytes; a server that keeps sending is
            // not waited for (its final reply still decides the transfer).
            if (m_lingerDropped > kAcceptedReadBuffer)
                endLinger(true);
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
            return;
        endLinger(false);  // the server's close (or its reset: its reply says what it kept)
    }
#endif
}

void DataChannel::endLinger(bool reset)
{
    if (m_linger < 0)
        return;
    if (m_lingerNotifier) {
        m_lingerNotifier->setEnabled(false);
        m_lingerNotifier.release()->deleteLater();  // we may be inside its activated()
    }
#ifdef Q_OS_UNIX
    if (reset) {
        const linger hard{1, 0};
        ::setsockopt(m_linger, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
    }
    ::close(m_linger);
#else
    (void)reset;
#endif
    m_linger = -1;
    m_lingerDropped = 0;
    reportClosedLater();
}

void DataChannel::abort(Ending ending)
{
    endLinger(ending == Ending::Reset);  // (its report is dropped: a new generation begins)
    m_done = true;
    ++m_generation;
    m_listener.reset();
    if (!m_socket)
        return;
    QTcpSocket* socket = m_socket.release();
    socket->disconnect(this);
#ifdef Q_OS_UNIX
    if (ending == Ending::Reset && socket->state() == QAbstractSocket::ConnectedState
        && socket->socketDescriptor() >= 0) {
        const linger reset{1, 0};
        ::setsockopt(int(socket->socketDescriptor()), SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
    }
#else
    (void)ending;
#endif
    socket->abort();
    socket->deleteLater();  // we may be inside one of its signals
}

qint64 DataChannel::read(char* data, qint64 maxSize)
{
    if (!m_socket || !m_socket->isOpen())
        return -1;
    const qint64 n = m_socket->read(data, maxSize);
    // An unbuffered socket that meets the end inside read() closes without emitting
    // disconnected(): the end is reported from here, once the reader has returned.
    if (n < 0 || m_socket->state() != QAbstractSocket::ConnectedState)
        reportClosedLater();
    return n;
}

void DataChannel::reportClosedLater()
{
    // Only for this connection: a later one may have begun before the call runs.
    QMetaObject::invokeMethod(this, [this, generation = m_generation] {
        if (!m_done && generation == m_generation) {
            m_done = true;
            emit closed();
        }
    }, Qt::QueuedConnection);
}

void DataChannel::onError(QAbstractSocket::SocketError error)
{
    if (m_done)
        return;
    if (m_tls) {
        const auto* ssl = qobject_cast<const QSslSocket*>(m_socket.get());
        if (ssl && !m_encrypted && (error == QAbstractSocket::SslHandshakeFailedError
                                           || error == QAbstractSocket::RemoteHostClosedError
                                           || ssl->mode() != QSslSocket::UnencryptedMode)) {
            failTls(ssl->errorString());
            return;
        }
    }
    if (error == QAbstractSocket::RemoteHostClosedError) {
        if (m_linger < 0)  // else the lingering descriptor sees the close
            reportClosedLater();
        return;
    }
    m_done = true;
    emit failed(m_socket ? m_socket->errorString() : QString());
}

}  // namespace zephra::ftp
