#include "ftp/ControlChannel.h"

namespace zephra::ftp {

namespace {

// "nnn" at the start of a line, or -1.
int leadingCode(const QString& line)
{
    if (line.size() < 3)
        return -1;
    for (int i = 0; i < 3; ++i) {
        if (line[i] < u'0' || line[i] > u'9')
            return -1;
    }
    return line.left(3).toInt();
}

}  // namespace

ControlChannel::ControlChannel(QObject* parent)
    : QObject(parent)
{
    renewSocket();
}

// Each session gets a fresh socket: a socket that once spoke TLS is not trusted to speak plain
// again, nor to start a new handshake without the old session's leftovers.
void ControlChannel::renewSocket()
{
    if (m_socket) {
        m_socket->disconnect(this);
        m_socket->abort();
        m_socket->deleteLater();  // we may be inside one of its signals
    }
    m_socket = new QSslSocket(this);
    QSslSocket* socket = m_socket;
    connect(socket, &QTcpSocket::connected, this, [this] {
        m_wasConnected = true;
        // Commands are small and often come in pairs (ABOR, NOOP): no Nagle delay.
        m_socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
        emit connected();
    });
    connect(socket, &QTcpSocket::readyRead, this, &ControlChannel::onReadyRead);
    connect(socket, &QTcpSocket::errorOccurred, this, &ControlChannel::onError);
    connect(socket, &QTcpSocket::disconnected, this, &ControlChannel::onDisconnected);
    connect(socket, &QSslSocket::encrypted, this, [this] {
        m_handshaking = false;
        emit encrypted();
    });
    connect(socket, &QSslSocket::sslErrors, this, &ControlChannel::sslErrors);
}

void ControlChannel::connectToServer(const QString& host, quint16 port, const std::optional<QSslConfiguration>& implicitTls)
{
    abort();
    renewSocket();
    m_closedByUs = false;
    m_wasConnected = false;
    m_handshaking = implicitTls.has_value();
    if (implicitTls) {
        m_socket->setSslConfiguration(*implicitTls);
        m_socket->connectToHostEncrypted(host, port);
    } else {
        m_socket->connectToHost(host, port);
    }
}

void ControlChannel::startTls(const QSslConfiguration& configuration)
{
    m_handshaking = true;
    m_buffer.clear();  // nothing said in the clear after the 234 is believed
    m_socket->setSslConfiguration(configuration);
    m_socket->startClientEncryption();
}

void ControlChannel::send(const QByteArray& line)
{
    m_socket->write(line + "\r\n");
}

void ControlChannel::closeGracefully()
{
    m_closedByUs = true;
    m_buffer.clear();
    m_partial = Reply();
    m_socket->disconnectFromHost();
}

void ControlChannel::abort()
{
    m_closedByUs = true;
    m_handshaking = false;
    m_buffer.clear();
    m_partial = Reply();
    m_partialSize = 0;
    m_socket->abort();
}

void ControlChannel::onReadyRead()
{
    m_buffer += m_socket->readAll();
    // Each emitted reply may make the session close the channel, which clears the buffer.
    while (!m_closedByUs) {
        const qsizetype end = m_buffer.indexOf('\n');
        if (end < 0) {
            if (m_buffer.size() > kMaxLineLength)
                fail(QStringLiteral("a reply line is longer than 64 KiB"));
            return;
        }
        if (end > kMaxLineLength) {
            fail(QStringLiteral("a reply line is longer than 64 KiB"));
            return;
        }
        const QByteArray raw = m_buffer.left(end);
        m_buffer.remove(0, end + 1);
        if (!takeLine(raw))
            return;
    }
}

bool ControlChannel::takeLine(const QByteArray& raw)
{
    QByteArray bytes = raw;
    if (bytes.endsWith('\r'))
        bytes.chop(1);
    const QString line = QString::fromUtf8(bytes);
    emit lineReceived(line);
    if (m_closedByUs)
        return false;

    const int code = leadingCode(line);
    if (!m_partial.lines.isEmpty()) {
        m_partial.lines.append(line);
        m_partial.rawLines.append(bytes);
        m_partialSize += bytes.size();
        if (m_partialSize > kMaxReplySize) {
            fail(QStringLiteral("a multi-line reply is longer than 1 MiB"));
            return false;
        }
        // Only "nnn " with the first line's code ends it; other lines are its text.
        if (code == m_partial.code && (line.size() == 3 || line[3] == u' ')) {
            const Reply reply = m_partial;
            m_partial = Reply();
            m_partialSize = 0;
            emit replyReceived(reply);
        }
        return true;
    }
    if (code < 0)
        return true;  // not a reply: logged, otherwise ignored
    if (line.size() > 3 && line[3] == u'-') {
        m_partial.code = code;
        m_partial.lines = {line};
        m_partial.rawLines = {bytes};
        m_partialSize = bytes.size();
        return true;
    }
    emit replyReceived(Reply{code, {line}, {bytes}});
    return true;
}

void ControlChannel::fail(const QString& reason)
{
    abort();
    emit protocolError(reason);
}

void ControlChannel::onError(QAbstractSocket::SocketError error)
{
    if (m_closedByUs)
        return;
    if (m_handshaking && m_wasConnected) {
        const QString reason = m_socket->errorString();
        abort();
        emit tlsFailed(reason);
        return;
    }
    if (!m_wasConnected) {
        m_closedByUs = true;
        emit connectFailed(m_socket->errorString());
        return;
    }
    if (error != QAbstractSocket::RemoteHostClosedError && m_socket->state() != QAbstractSocket::ConnectedState)
        onDisconnected();
}

void ControlChannel::onDisconnected()
{
    if (m_closedByUs || !m_wasConnected)
        return;
    if (m_handshaking) {
        abort();
        emit tlsFailed(QStringLiteral("the server closed the connection during the TLS handshake"));
        return;
    }
    m_closedByUs = true;
    emit closed();
}

}  // namespace zephra::ftp
