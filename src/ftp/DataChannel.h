#pragma once
// The data connection of one transfer: a socket opened towards the server (passive mode) or
// accepted from it (active mode). The socket is unbuffered: reads go straight from the kernel
// into the caller's buffer, so memory stays bounded by that buffer.
// With TLS (PROT P) the socket is a QSslSocket that does the client side of the handshake in
// both modes (RFC 4217 section 9), started by startTls(), resuming the session it was given;
// its buffer is bounded by kAcceptedReadBuffer. A connection that ends before it is encrypted
// has failed (tlsFailed()), never delivered plain bytes.
// The end of an upload over TLS lingers: after close_notify the connection stays open, reading
// and dropping what the server still sends, until the server closes it (see finishSending()).

#include <QHostAddress>
#include <QObject>
#include <QSslCertificate>
#include <QSslConfiguration>
#include <QSocketNotifier>
#include <QSslSocket>
#include <QTcpServer>
#include <QTcpSocket>
#include <memory>
#include <optional>

namespace zephra::ftp {

class DataChannel final : public QObject {
    Q_OBJECT
public:
    static constexpr qint64 kAcceptedReadBuffer = 1024 * 1024;

    explicit DataChannel(QObject* parent = nullptr);
    ~DataChannel() override;

    struct Tls {
        QSslConfiguration configuration;  // with the session ticket to resume
        QString peerName;                 // the host name the control connection verified
        QSslCertificate controlCertificate;  // the control connection's, accepted there
    };
    // For the next connectTo() or listen(): TLS, or plain (nullopt).
    void setTls(std::optional<Tls> tls) { m_tls = std::move(tls); }
    // Starts the client's handshake on the connected socket; encrypted() follows.
    void startTls();
    // Connected, and encrypted when TLS was asked for: bytes may flow.
    bool isReady() const;
    bool tlsFailed() const { return m_tlsFailed; }
    // Bytes written but not yet taken by the system (plain and, with TLS, encrypted).
    qint64 pendingBytes() const;

    // Passive mode: connect to the server's data port.
    void connectTo(const QHostAddress& host, quint16 port);
    // Active mode: listen on the given local address; only a connection from expectedPeer is
    // accepted (others are closed and listening goes on). Returns the port, or nothing.
    std::optional<quint16> listen(const QHostAddress& local, const QHostAddress& expectedPeer);

    QTcpSocket* socket() const { return m_socket.get(); }
    // Reads what has arrived (0: nothing yet, -1: the connection has ended). After closed(),
    // bytes still buffered can be read until it returns 0 or -1.
    qint64 read(char* data, qint64 maxSize);
    bool isConnected() const;
    // Ends the upload: pending bytes are written, then the connection is closed (end of file).
    // With TLS, closed() follows only once the server has closed its side too.
    void finishSending();
    // The upload's end is sent and only the server's close is awaited (TLS).
    bool isLingering() const { return m_linger >= 0; }
    enum class Ending {
        Reset,     // the server sees a failure, not an end of file
        Graceful,  // what the system still holds is sent, then the end of file
    };
    // Closes everything at once, dropping what is queued here. No signal follows.
    void abort(Ending ending = Ending::Reset);

signals:
    void connected();
    void readyRead();
    void bytesWritten();
    void encrypted();
    void sessionTicket(const QByteArray& ticket);  // a TLS 1.3 ticket the server sent here
    void closed();                        // the connection ended in order
    void failed(const QString& reason);   // connect failure or reset

private:
    class Listener;
    void attach(std::unique_ptr<QTcpSocket> socket);  // becomes the data socket, signals wired
    void adopt(std::unique_ptr<QTcpSocket> socket);
    void onError(QAbstractSocket::SocketError error);
    void reportClosedLater();
    std::unique_ptr<QTcpSocket> makeSocket() const;
    void failTls(const QString& reason);
    void lingerOnDescriptor();
    void readLingering();
    void endLinger(bool reset);

    std::unique_ptr<QTcpSocket> m_socket;
    std::unique_ptr<Listener> m_listener;
    QHostAddress m_expectedPeer;
    std::optional<Tls> m_tls;
    bool m_tlsFailed = false;
    bool m_encrypted = false;  // the handshake of this connection is done
    bool m_done = false;
    quint64 m_generation = 0;  // counts connections, so a late report never reaches the next one
    int m_linger = -1;         // our duplicate of the upload's descriptor while it lingers
    qint64 m_lingerDropped = 0;
    std::unique_ptr<QSocketNotifier> m_lingerNotifier;
};

}  // namespace zephra::ftp
