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
// Unscripted commands get ordinary replies: USER 331, PASS 230, TYPE 200, CWD/DELE/RMD/RNTO 250,
// MKD 257, RNFR 350, NOOP 200, ABOR 225, QUIT 221 (and close), PASV 227 (a listener on
// 127.0.0.1), PORT 200 (the server connects back), LIST/RETR/STOR with 150 ... 226 over the data
// connection; anything else 502. A new client replaces the previous one.

#include <QByteArray>
#include <QHash>
#include <QHostAddress>
#include <QList>
#include <QObject>
#include <QPointer>
#include <QStringList>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <functional>

namespace zephra::test {

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
        bool announceSize = false; // "150 ... (N bytes)." for RETR
        int takeUpDelayMs = 0;     // passive: take up the client's data connection only this late
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
    // Active mode: connect to the client from this local address first (a stranger), then from 127.0.0.1.
    void setActiveStrangerAddress(const QHostAddress& address) { m_stranger = address; }
    // The LIST output; by default one "ls -l" line per file of rootDir().
    void setListing(const QByteArray& listing) { m_listing = listing; }

    QStringList commands() const { return m_commands; }
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
    void handle(const QString& line);
    void reply(const Response& response);
    void enqueue(Step step);
    void runQueue();
    void sendNow(const QByteArray& bytes, bool byteByByte, std::function<void()> done);
    void startTransfer(const QString& verb, const QString& argument);
    void withDataSocket(std::function<void(QTcpSocket*)> use);
    QByteArray defaultListing() const;

    QTcpServer m_server;
    QTcpServer m_pasvListener;
    QPointer<QTcpSocket> m_control;
    QPointer<QTcpSocket> m_data;
    QList<QPointer<QTcpSocket>> m_allSockets;
    QTemporaryDir m_root;
    QByteArray m_inBuffer;
    QStringList m_commands;
    Response m_greeting{"220 Fake ready\r\n"};
    QHash<QString, QList<Response>> m_scripts;
    QHash<QString, QList<DataPlan>> m_plans;
    QString m_pasvHost = QStringLiteral("127,0,0,1");
    QHostAddress m_stranger;
    QByteArray m_listing;
    QHostAddress m_portAddress;
    QString m_renameFrom;
    quint16 m_portPort = 0;
    bool m_activeMode = false;
    int m_dataAccepted = 0;
    QList<Step> m_queue;
    bool m_running = false;
    std::function<void(QTcpSocket*)> m_waitingForData;
};

}  // namespace zephra::test
