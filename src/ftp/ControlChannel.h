#pragma once
// The control connection: owns the socket, frames CRLF lines whatever the TCP arrival boundaries,
// joins multi-line replies (RFC 959 4.2) and hands over one complete reply at a time. It speaks
// TLS once asked (after AUTH TLS, or from the first byte for implicit TLS); the session decides
// about certificates (sslErrors()) and keeps the session tickets the server sends.

#include "ftp/Reply.h"

#include <QByteArray>
#include <QHostAddress>
#include <QObject>
#include <QSslConfiguration>
#include <QSslSocket>
#include <optional>

namespace zephra::ftp {

class ControlChannel final : public QObject {
    Q_OBJECT
public:
    // A longer line is a protocol error rather than unbounded memory; a multi-line reply may hold
    // many lines but not more than kMaxReplySize bytes in all.
    static constexpr qsizetype kMaxLineLength = 64 * 1024;
    static constexpr qsizetype kMaxReplySize = 1024 * 1024;

    explicit ControlChannel(QObject* parent = nullptr);

    // implicitTls: the handshake starts as soon as the connection is up; connected() still comes
    // first, encrypted() once it is done, and replies only after that.
    void connectToServer(const QString& host, quint16 port,
                         const std::optional<QSslConfiguration>& implicitTls = std::nullopt);
    // Explicit TLS, after the server's 234 to AUTH TLS.
    void startTls(const QSslConfiguration& configuration);
    // Only from a receiver of sslErrors(): go on with the handshake despite them.
    void ignoreSslErrors() { m_socket->ignoreSslErrors(); }
    bool isEncrypted() const { return m_socket->isEncrypted(); }
    QSslCertificate peerCertificate() const { return m_socket->peerCertificate(); }
    // The newest session the server gave (TLS 1.3 tickets come after the handshake, as the
    // server sends them); empty before.
    QByteArray sessionTicket() const { return m_socket->sslConfiguration().sessionTicket(); }
    QString peerName() const { return m_socket->peerName(); }
    void send(const QByteArray& line);  // CRLF is appended
    // Writes what is pending, then closes; no signal follows.
    void closeGracefully();
    // Closes at once; no signal follows.
    void abort();

    bool isOpen() const { return m_socket->state() == QAbstractSocket::ConnectedState; }
    QHostAddress peerAddress() const { return m_socket->peerAddress(); }
    QHostAddress localAddress() const { return m_socket->localAddress(); }

signals:
    void connected();
    void connectFailed(const QString& reason);
    void lineReceived(const QString& line);  // every line as received, for the log
    void replyReceived(const zephra::ftp::Reply& reply);
    void protocolError(const QString& reason);
    void closed();  // the server closed the connection, or it broke
    void encrypted();
    void sslErrors(const QList<QSslError>& errors);  // during a handshake; see ignoreSslErrors()
    void tlsFailed(const QString& reason);           // the handshake failed; the channel is closed

private:
    void onReadyRead();
    void onError(QAbstractSocket::SocketError error);
    void onDisconnected();
    // Returns false when the line broke the protocol (the channel is then closed).
    bool takeLine(const QByteArray& raw);
    void fail(const QString& reason);

    void renewSocket();

    QSslSocket* m_socket = nullptr;
    bool m_handshaking = false;
    QByteArray m_buffer;
    Reply m_partial;            // a multi-line reply still being read
    qsizetype m_partialSize = 0;
    bool m_wasConnected = false;
    bool m_closedByUs = false;
};

}  // namespace zephra::ftp
