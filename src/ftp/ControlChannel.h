#pragma once
// The control connection: owns the socket, frames CRLF lines whatever the TCP arrival boundaries,
// joins multi-line replies (RFC 959 4.2) and hands over one complete reply at a time.

#include "ftp/Reply.h"

#include <QByteArray>
#include <QHostAddress>
#include <QObject>
#include <QTcpSocket>

namespace zephra::ftp {

class ControlChannel final : public QObject {
    Q_OBJECT
public:
    // A longer line is a protocol error rather than unbounded memory; a multi-line reply may hold
    // many lines but not more than kMaxReplySize bytes in all.
    static constexpr qsizetype kMaxLineLength = 64 * 1024;
    static constexpr qsizetype kMaxReplySize = 1024 * 1024;

    explicit ControlChannel(QObject* parent = nullptr);

    void connectToServer(const QString& host, quint16 port);
    void send(const QByteArray& line);  // CRLF is appended
    // Writes what is pending, then closes; no signal follows.
    void closeGracefully();
    // Closes at once; no signal follows.
    void abort();

    bool isOpen() const { return m_socket.state() == QAbstractSocket::ConnectedState; }
    QHostAddress peerAddress() const { return m_socket.peerAddress(); }
    QHostAddress localAddress() const { return m_socket.localAddress(); }

signals:
    void connected();
    void connectFailed(const QString& reason);
    void lineReceived(const QString& line);  // every line as received, for the log
    void replyReceived(const zephra::ftp::Reply& reply);
    void protocolError(const QString& reason);
    void closed();  // the server closed the connection, or it broke

private:
    void onReadyRead();
    void onError(QAbstractSocket::SocketError error);
    void onDisconnected();
    // Returns false when the line broke the protocol (the channel is then closed).
    bool takeLine(const QByteArray& raw);
    void fail(const QString& reason);

    QTcpSocket m_socket;
    QByteArray m_buffer;
    Reply m_partial;            // a multi-line reply still being read
    qsizetype m_partialSize = 0;
    bool m_wasConnected = false;
    bool m_closedByUs = false;
};

}  // namespace zephra::ftp
