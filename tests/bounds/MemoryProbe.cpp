// A child program for the memory-bound tests: runs one hostile-server scenario against the FTP
// engine or the direct route and prints what it cost, so the test reads this process's peak
// memory without its own (GoogleTest, the other tests) in the figure.
//
//   memory_probe SCENARIO      prints "peak-growth-kib N", "peak-kib N" and "error TEXT"
//
// Scenarios (the server is in this process, on 127.0.0.1, in a thread of its own):
//   reply-line         the greeting is one 200 MB line without a line end
//   endless-multiline  the greeting is a multi-line reply that never ends (up to 1 GB)
//   engine-listing     the engine route lists into a work file; LIST sends 1 GB
//   engine-listing-device   the same into a device, as the command-line tool lists
//   direct-listing     the direct route lists; LIST sends 1 GB
//   engine-listing-short-lines, direct-listing-short-lines
//                      LIST sends 60 MiB of "- a" lines: under the byte limit, 12 million entries
// The streams are generated as they are sent: neither side holds more than a few blocks.

#include "ftp/Connection.h"
#include "ftp/direct/DirectSession.h"

#include <QCoreApplication>
#include <QFile>
#include <QPointer>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QThread>
#include <QTimer>

#include <cstdio>
#include <functional>
#include <optional>
#include <utility>

namespace {

constexpr qint64 kBlock = 64 * 1024;

// Reads one field of /proc/self/status in KiB ("VmRSS", "VmHWM").
qint64 statusKib(const char* field)
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    const QByteArray prefix = QByteArray(field) + ':';
    for (const QByteArray& line : status.readAll().split('\n')) {
        if (line.startsWith(prefix))
            return line.mid(prefix.size()).trimmed().split(' ').first().toLongLong();
    }
    return -1;
}

// Resets the peak (VmHWM) to the current resident size.
void resetPeak()
{
    QFile clear(QStringLiteral("/proc/self/clear_refs"));
    if (clear.open(QIODevice::WriteOnly))
        clear.write("5");
}

// An endless-ish byte stream: `head` once, then `body` repeated until `total` bytes were sent.
struct Stream {
    QByteArray head;
    QByteArray body;
    qint64 total = 0;
};

// Sends a stream on a socket a block at a time, as the peer takes it.
class StreamSender final : public QObject {
public:
    StreamSender(QTcpSocket* socket, const Stream& stream, std::function<void()> done)
        : QObject(socket), m_socket(socket), m_total(stream.total), m_done(std::move(done))
    {
        // Blocks of whole bodies, so every block after the first starts where a body starts.
        while (m_block.size() < kBlock)
            m_block += stream.body;
        m_first = stream.head + m_block;
        connect(socket, &QTcpSocket::bytesWritten, this, &StreamSender::pump);
        connect(socket, &QTcpSocket::disconnected, this, [this] { m_sent = m_total; });
        pump();
    }

private:
    void pump()
    {
        // A few blocks in flight at most: the sender never holds the stream.
        while (m_sent < m_total && m_socket->bytesToWrite() < 4 * kBlock
               && m_socket->state() == QAbstractSocket::ConnectedState) {
            const QByteArray& block = m_sent == 0 ? m_first : m_block;
            const qint64 n = qMin<qint64>(m_total - m_sent, block.size());
            if (m_socket->write(block.constData(), n) != n)
                break;
            m_sent += n;
        }
        if (m_sent >= m_total && m_socket->bytesToWrite() == 0 && m_done)
            std::exchange(m_done, nullptr)();
    }

    QTcpSocket* m_socket;
    qint64 m_total;
    std::function<void()> m_done;
    QByteArray m_first;
    QByteArray m_block;
    qint64 m_sent = 0;
};

// Just enough of an FTP server for a login and one listing; either its greeting or its LIST
// output is the hostile stream.
class HostileServer final : public QObject {
public:
    std::optional<Stream> greeting;  // none: "220 ready"
    Stream listing;

    quint16 start()
    {
        m_control.listen(QHostAddress::LocalHost, 0);
        m_data.listen(QHostAddress::LocalHost, 0);
        connect(&m_control, &QTcpServer::newConnection, this, &HostileServer::onControl);
        connect(&m_data, &QTcpServer::newConnection, this, &HostileServer::onData);
        return m_control.serverPort();
    }

private:
    void onControl()
    {
        QTcpSocket* s = m_control.nextPendingConnection();
        m_socket = s;
        connect(s, &QTcpSocket::disconnected, s, &QObject::deleteLater);
        if (greeting) {
            new StreamSender(s, *greeting, [s] { s->disconnectFromHost(); });
            return;
        }
        s->write("220 ready\r\n");
        connect(s, &QTcpSocket::readyRead, this, [this, s] {
            while (s->canReadLine())
                command(s, s->readLine().trimmed());
        });
    }

    void command(QTcpSocket* s, const QByteArray& line)
    {
        const QByteArray verb = line.split(' ').first().toUpper();
        const QByteArray port = QByteArray::number(m_data.serverPort());
        if (verb == "USER")
            s->write("331 password please\r\n");
        else if (verb == "PASS")
            s->write("230 logged in\r\n");
        else if (verb == "PWD")
            s->write("257 \"/\" is the current directory\r\n");
        else if (verb == "EPSV")
            s->write("229 Entering Extended Passive Mode (|||" + port + "|)\r\n");
        else if (verb == "PASV")
            s->write("227 Entering Passive Mode (127,0,0,1," + QByteArray::number(m_data.serverPort() / 256) + ","
                     + QByteArray::number(m_data.serverPort() % 256) + ")\r\n");
        else if (verb == "LIST" || verb == "MLSD" || verb == "NLST") {
            m_listRequested = true;
            startListing();
        } else if (verb == "QUIT") {
            s->write("221 bye\r\n");
            s->disconnectFromHost();
        } else if (verb == "ABOR")
            s->write("226 aborted\r\n");
        else if (verb == "SIZE" || verb == "MDTM")
            s->write("550 no such file\r\n");
        else if (verb == "FEAT" || verb == "HELP" || verb == "XYZZY")
            s->write("502 not implemented\r\n");
        else
            s->write("200 ok\r\n");
    }

    void onData()
    {
        m_dataSocket = m_data.nextPendingConnection();
        connect(m_dataSocket, &QTcpSocket::disconnected, m_dataSocket, &QObject::deleteLater);
        startListing();
    }

    // The listing flows once the command and the data connection are both there.
    void startListing()
    {
        if (!m_listRequested || !m_dataSocket || !m_socket)
            return;
        m_listRequested = false;
        m_socket->write("150 Here comes the listing\r\n");
        QPointer<QTcpSocket> control = m_socket;
        QPointer<QTcpSocket> data = m_dataSocket;
        new StreamSender(m_dataSocket, listing, [control, data] {
            if (data)
                data->disconnectFromHost();
            if (control)
                control->write("226 Listing sent\r\n");
        });
    }

    QTcpServer m_control{this};  // children, so they move to the server thread with it
    QTcpServer m_data{this};
    QPointer<QTcpSocket> m_socket;
    QPointer<QTcpSocket> m_dataSocket;
    bool m_listRequested = false;
};

struct Outcome {
    bool ok = false;
    QString error;
};

Outcome runEngine(const std::function<void(zephra::ftp::Connection&)>& operation, quint16 port)
{
    using zephra::ftp::Connection;
    using zephra::ftp::Result;
    Connection ftp;
    ftp.setTimeOut(20000);
    Outcome outcome;
    QEventLoop loop;
    int step = 0;
    QObject::connect(&ftp, &Connection::finished, &loop, [&](const Result& r) {
        if (!r.ok() || step == 1 || !operation) {
            outcome = {r.ok(), r.description + QStringLiteral(" / ") + r.serverText};
            loop.quit();
            return;
        }
        step = 1;
        operation(ftp);
    });
    ftp.Connect(QStringLiteral("127.0.0.1"), QString::number(port), QStringLiteral("user"), QStringLiteral("pass"));
    loop.exec();
    return outcome;
}

}  // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    const QString scenario = argc > 1 ? QString::fromLocal8Bit(argv[1]) : QString();

    auto* server = new HostileServer;  // lives and dies in the server thread
    const qint64 gigabyte = 1024LL * 1024 * 1024;
    if (scenario == QLatin1String("reply-line"))
        server->greeting = Stream{"220 ", "x", 200LL * 1000 * 1000};
    else if (scenario == QLatin1String("endless-multiline"))
        server->greeting = Stream{"220-Welcome\r\n", "220-and more of the welcome\r\n", gigabyte};
    server->listing = Stream{"", "-rw-r--r--    1 ftp      ftp             6 Dec 07 00:30 a.txt\r\n", gigabyte};
    if (scenario.endsWith(QLatin1String("-short-lines")))
        server->listing = Stream{"", "- a\r\n", 60LL * 1024 * 1024};  // under the byte limit

    QThread serverThread;
    server->moveToThread(&serverThread);
    serverThread.start();
    quint16 port = 0;
    QMetaObject::invokeMethod(server, [&] { port = server->start(); }, Qt::BlockingQueuedConnection);

    QTemporaryDir dir;
    const QString workFile = dir.filePath(QStringLiteral("listing.txt"));
    QFile(workFile).open(QIODevice::WriteOnly);  // an earlier listing, which must stay as it was
    QFile device(dir.filePath(QStringLiteral("device.txt")));

    const qint64 before = statusKib("VmRSS");
    resetPeak();
    Outcome outcome;
    if (scenario == QLatin1String("reply-line") || scenario == QLatin1String("endless-multiline")) {
        outcome = runEngine({}, port);
    } else if (scenario == QLatin1String("engine-listing") || scenario == QLatin1String("engine-listing-short-lines")) {
        outcome = runEngine([&](zephra::ftp::Connection& ftp) { ftp.ListContents(workFile); }, port);
        if (QFile(workFile).size() != 0)
            outcome.error += QStringLiteral(" (the earlier work file was replaced)");
    } else if (scenario == QLatin1String("engine-listing-device")) {
        device.open(QIODevice::WriteOnly);
        outcome = runEngine([&](zephra::ftp::Connection& ftp) { ftp.ListContents(&device); }, port);
    } else if (scenario.startsWith(QLatin1String("direct-listing"))) {
        zephra::ftp::direct::DirectOptions options;
        options.active = false;
        zephra::ftp::direct::DirectSession session(options);
        auto r = session.open(QStringLiteral("127.0.0.1"), port, QStringLiteral("user"), QStringLiteral("pass"));
        if (r.ok()) {
            QList<zephra::ftp::direct::DirectEntry> entries;
            r = session.list(QByteArray(), &entries);
        }
        outcome = {r.ok(), r.message};
    } else {
        std::fprintf(stderr, "unknown scenario\n");
        return 2;
    }
    const qint64 peak = statusKib("VmHWM");

    QMetaObject::invokeMethod(server, [server] { delete server; }, Qt::BlockingQueuedConnection);
    serverThread.quit();
    serverThread.wait();
    std::printf("peak-growth-kib %lld\npeak-kib %lld\n%s %s\n", static_cast<long long>(peak - before),
                static_cast<long long>(peak), outcome.ok ? "ok" : "error", qPrintable(outcome.error));
    return 0;
}
