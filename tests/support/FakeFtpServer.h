#pragma once
// An in-process, scriptable FTP server for protocol edge cases real servers never produce.
// It listens on 127.0.0.1, port 0, serves a temporary directory and records every command.
//
//   zephra::test::FakeFtpServer server;            // greeting "220 Fake ready", user/secret
//   ASSERT_TRUE(server.start());
//   server.script("CWD", {"250-first\r\n250 last\r\n"});         // the next CWD gets this reply
//   server.script("USER", {"331 ok\r\n", 0, /*byteByByte*/ true});
//   server.planData("RETR", {.dropAfter = 10});                  // the next RETR drops its data
//   ... server.commands() == {"USER user", "PASS secret", ...}
//
// Unscripted commands get ordinary replies: USER 331, PASS 230, TYPE 200, CWD/CDUP/DELE/RMD/RNTO
// 250, MKD 257, PWD 257 "dir", RNFR 350, SIZE 213 (550 for no file), OPTS 200, NOOP 200, ABOR 225,
// QUIT 221 (and close), PASV 227 (a listener on 127.0.0.1), PORT 200 (the server connects back;
// 425 when it can not), REST 350 (the next RETR or STOR starts at that byte), LIST/MLSD/RETR/
// STOR/APPE with 150 ... 226 over the data connection, FEAT 502
// unless setFeatures(); anything else 502. A new client replaces the previous one.
// CWD always succeeds and moves the current directory ("/" at first) that PWD reports and file
// names are taken in, whether it exists or not.
// TLS (RFC 4217): AUTH is refused (502) unless setTls() gave a certificate; then AUTH TLS is
// answered "234" and the control connection handshakes as the server, PBSZ 200, PROT P/C 200,
// and after PROT P every data connection handshakes too (the server side, in both modes).
// A DataPlan can make one data connection skip its handshake, so the client's fails.

#include <QByteArray>
#include <QHash>
#include <QHostAddress>
#include <QList>
#include <QObject>
#include <QPointer>
#include <QSslConfiguration>
#include <QSslSocket>
#include <QStringList>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <functional>
#include <optional>

namespace zephra::test {

namespace detail {
// Hands out QSslSocket connections, which stay plain until a handshake is started.
class SslCapableServer final : public QTcpServer {
protected:
    void incomingConnection(qintptr descriptor) override;
};
}  // namespace detail

class FakeFtpServer final : public QObject {
    Q_OBJECT
public:
    // What the control connection says in answer to one command.
    struct Response {
        QByteArray bytes;          // raw reply bytes, CRLF included; empty: say nothing at all
        int delayMs = 0;           // wait this long first
        bool byteByByte = false;   // one TCP segment per byte
        bool closeAfter = false;   // then close the control connection
    };

    // How the next transfer of a data command runs.
    struct DataPlan {
        enum class Order {
            Normal,                  // 150, data, close data, 226
            FinalBeforeClose,        // 150, data, 226, then the data close (after closeDelayMs)
            FinalBeforePreliminary,  // "226" and "150" in one packet, data, close
        };
        Order order = Order::Normal;
        QByteArray preliminary = "150 Opening BINARY mode data connection.\r\n";
        QByteArray final = "226 Transfer complete.\r\n";
        qint64 dropAfter = -1;     // download: reset the data connection after this many bytes
        int closeDelayMs = 0;      // delay before closing the data connection
        bool stall = false;        // open the data connection, send nothing, never close
        qint64 stallAfter = -1;    // download: send this many bytes, then stall as above
        bool announceSize = false; // "150 ... (N bytes)." for RETR
        int takeUpDelayMs = 0;     // passive: take up the client's data connection only this late
        bool skipTlsHandshake = false;  // after PROT P: no handshake on this data connection; the
                                        // payload goes as plain bytes and the client's handshake fails
    };

    explicit FakeFtpServer(QObject* parent = nullptr);
    ~FakeFtpServer() override;

    bool start();
    quint16 port() const { return m_server.serverPort(); }
    QString host() const { return QStringLiteral("127.0.0.1"); }
    QString user() const { return QStringLiteral("user"); }
    QString password() const { return QStringLiteral("secret"); }
    QString rootDir() const { return m_root.path(); }
    QString url(const QString& path = QString()) const;

    void setGreeting(const Response& greeting) { m_greeting = greeting; }
    // Queues a response for the next command with this verb (upper case); several queue in order.
    void script(const QString& verb, const Response& response);
    void planData(const QString& verb, const DataPlan& plan);
    // The host part of the 227 reply ("10,0,0,7"); the listener stays on 127.0.0.1.
    void setPasvHost(const QString& commaSeparated) { m_pasvHost = commaSeparated; }
    // The 227 reply around its six numbers (%1), "227 Entering Passive Mode (%1)." by default.
    void setPasvReplyForm(const QString& form) { m_pasvForm = form; }
    // Active mode: connect to the client from this local address first (a stranger), then from 127.0.0.1.
    void setActiveStrangerAddress(const QHostAddress& address) { m_stranger = address; }
    // The LIST output; by default one "ls -l" line per file of the current directory.
    void setListing(const QByteArray& listing) { m_listing = listing; }
    // The MLSD output; by default one "type=...;size=...; name" line per file of the current directory.
    void setMlsdListing(const QByteArray& listing) { m_mlsdListing = listing; }
    // The feature lines of the FEAT reply ("MLST type*;size*;", "SIZE", "UTF8"); FEAT then
    // answers 211 with them. Without it FEAT is unknown (502), as on old servers.
    void setFeatures(const QList<QByteArray>& features) { m_features = features; }
    // Answers AUTH TLS with a handshake as the server, with this certificate and key (PEM files,
    // makeTestCertificate()). implicit: the handshake comes first, before the greeting.
    // False when the files can not be read.
    bool setTls(const QString& certificatePath, const QString& keyPath, bool implicit = false);
    // Whether the control connection is encrypted now, and the data connections by PROT P.
    bool isControlEncrypted() const;
    bool isDataProtected() const { return m_protectData; }

    QStringList commands() const { return m_commands; }
    // The commands exactly as their bytes came (a name that is not UTF-8 shows here, not in commands()).
    QList<QByteArray> rawCommands() const { return m_rawCommands; }
    QByteArray currentDirectory() const { return m_cwd; }
    // Waits (bounded) until at least n commands have arrived.
    bool waitForCommands(int n, int timeoutMs = 5000);
    // Waits (bounded) until the client has closed or lost every connection to us.
    bool waitForAllClosed(int timeoutMs = 5000);
    int openConnections() const;
    // Waits (bounded) until exactly n connections are open (1: the control connection alone).
    bool waitForOpenConnections(int n, int timeoutMs = 5000);
    int dataConnectionsAccepted() const { return m_dataAccepted; }
    QHostAddress lastPortAddress() const { return m_portAddress; }
    quint16 lastPortPort() const { return m_portPort; }

private:
    using Step = std::function<void(std::function<void()> next)>;
    void onNewControl();
    void onControlReadyRead();
    void handle(const QByteArray& raw);
    QString pathOf(const QByteArray& name) const;  // a name in the current directory, as a local path
    void changeDirectory(const QByteArray& to);
    void reply(const Response& response);
    void enqueue(Step step);
    void runQueue();
    void sendNow(const QByteArray& bytes, bool byteByByte, std::function<void()> done);
    void startTransfer(const QString& verb, const QByteArray& argument);
    // failed: active mode only, the connection to the client could not be made.
    // tls: the connection handshakes (server side) before use() is called.
    void withDataSocket(std::function<void(QTcpSocket*)> use, std::function<void()> failed = nullptr, bool tls = false);
    // Starts the server's handshake on the socket, then calls done (at once when not tls).
    void handshakeThen(QTcpSocket* socket, bool tls, std::function<void(QTcpSocket*)> done);
    QByteArray defaultListing(bool mlsd) const;

    detail::SslCapableServer m_server;
    detail::SslCapableServer m_pasvListener;
    std::optional<QSslConfiguration> m_tls;
    bool m_implicitTls = false;
    bool m_protectData = false;
    QPointer<QTcpSocket> m_control;
    QPointer<QTcpSocket> m_data;
    QList<QPointer<QTcpSocket>> m_allSockets;
    QTemporaryDir m_root;
    QByteArray m_inBuffer;
    QStringList m_commands;
    QList<QByteArray> m_rawCommands;
    QByteArray m_cwd = "/";
    std::optional<QList<QByteArray>> m_features;
    QByteArray m_mlsdListing;
    Response m_greeting{"220 Fake ready\r\n"};
    QHash<QString, QList<Response>> m_scripts;
    QHash<QString, QList<DataPlan>> m_plans;
    QString m_pasvHost = QStringLiteral("127,0,0,1");
    QString m_pasvForm = QStringLiteral("227 Entering Passive Mode (%1).");
    QHostAddress m_stranger;
    QByteArray m_listing;
    QHostAddress m_portAddress;
    QString m_renameFrom;
    quint16 m_portPort = 0;
    bool m_activeMode = false;
    qint64 m_restAt = 0;  // REST's position, for the next transfer command
    int m_dataAccepted = 0;
    QList<Step> m_queue;
    bool m_running = false;
    std::function<void(QTcpSocket*)> m_waitingForData;
};

}  // namespace zephra::test
