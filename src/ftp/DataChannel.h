#pragma once
// The data connection of one transfer: a socket opened towards the server (passive mode) or
// accepted from it (active mode). The socket is unbuffered: reads go straight from the kernel
// into the caller's buffer, so memory stays bounded by that buffer.

#include <QHostAddress>
#include <QObject>
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
    void finishSending();
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
    void closed();                        // the connection ended in order
    void failed(const QString& reason);   // connect failure or reset

private:
    class Listener;
    void attach(std::unique_ptr<QTcpSocket> socket);  // becomes the data socket, signals wired
    void adopt(std::unique_ptr<QTcpSocket> socket);
    void onError(QAbstractSocket::SocketError error);
    void reportClosedLater();

    std::unique_ptr<QTcpSocket> m_socket;
    std::unique_ptr<Listener> m_listener;
    QHostAddress m_expectedPeer;
    bool m_done = false;
    quint64 m_generation = 0;  // counts connections, so a late report never reaches the next one
};

}  // namespace zephra::ftp
