#include "FakeFtpServer.h"
#include "FtpTestServers.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QEventLoop>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSslKey>
#include <QTimer>

#include <utility>

namespace zephra::test {

namespace {

bool isDataVerb(const QString& verb)
{
    return verb == QLatin1String("LIST") || verb == QLatin1String("MLSD") || verb == QLatin1String("RETR")
           || verb == QLatin1String("STOR") || verb == QLatin1String("APPE");
}

// PWD's quoting (RFC 959): a quote in the name is doubled.
QByteArray quotedDirectory(const QByteArray& path)
{
    QByteArray quoted = path;
    quoted.replace('"', "\"\"");
    return '"' + quoted + '"';
}

// Runs the Qt event loop until the condition holds or the time is up.
template <typename Condition>
bool waitUntil(Condition condition, int timeoutMs)
{
    const QDeadlineTimer deadline(timeoutMs);
    while (!condition()) {
        if (deadline.hasExpired())
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    }
    return true;
}

}  // namespace

void detail::SslCapableServer::incomingConnection(qintptr descriptor)
{
    auto* socket = new QSslSocket(this);
    if (socket->setSocketDescriptor(descriptor))
        addPendingConnection(socket);
    else
        delete socket;
}

bool FakeFtpServer::setTls(const QString& certificatePath, const QString& keyPath, bool implicit)
{
    const QList<QSslCertificate> chain = QSslCertificate::fromPath(certificatePath);
    QFile keyFile(keyPath);
    if (chain.isEmpty() || !keyFile.open(QIODevice::ReadOnly))
        return false;
    const QSslKey key(&keyFile, QSsl::Rsa);
    if (key.isNull())
        return false;
    QSslConfiguration configuration = QSslConfiguration::defaultConfiguration();
    configuration.setLocalCertificateChain(chain);
    configuration.setPrivateKey(key);
    configuration.setPeerVerifyMode(QSslSocket::VerifyNone);
    m_tls = configuration;
    m_implicitTls = implicit;
    return true;
}

bool FakeFtpServer::isControlEncrypted() const
{
    const auto* socket = qobject_cast<const QSslSocket*>(m_control.data());
    return socket && socket->isEncrypted();
}

void FakeFtpServer::handshakeThen(QTcpSocket* socket, bool tls, std::function<void(QTcpSocket*)> done)
{
    auto* ssl = qobject_cast<QSslSocket*>(socket);
    if (!tls || !ssl || !m_tls) {
        done(socket);
        return;
    }
    ssl->setSslConfiguration(*m_tls);
    connect(ssl, &QSslSocket::encrypted, this, [ssl, done] { done(ssl); }, Qt::SingleShotConnection);
    ssl->startServerEncryption();
}

FakeFtpServer::FakeFtpServer(QObject* parent)
    : QObject(parent)
{
    connect(&m_server, &QTcpServer::newConnection, this, &FakeFtpServer::onNewControl);
    connect(&m_pasvListener, &QTcpServer::newConnection, this, [this] {
        if (m_waitingForData && !m_activeMode)  // otherwise taken when the data command arrives
            withDataSocket(std::exchange(m_waitingForData, nullptr));
    });
}

FakeFtpServer::~FakeFtpServer()
{
    for (const auto& socket : std::as_const(m_allSockets)) {
        if (socket)
            socket->abort();
    }
}

bool FakeFtpServer::start()
{
    return m_root.isValid() && m_server.listen(QHostAddress::LocalHost, 0);
}

QString FakeFtpServer::url(const QString& path) const
{
    return ftpUrl(host(), port(), user(), password(), path);
}

void FakeFtpServer::script(const QString& verb, const Response& response)
{
    m_scripts[verb].append(response);
}

void FakeFtpServer::planData(const QString& verb, const DataPlan& plan)
{
    m_plans[verb].append(plan);
}

bool FakeFtpServer::waitForCommands(int n, int timeoutMs)
{
    return waitUntil([&] { return m_commands.size() >= n; }, timeoutMs);
}

int FakeFtpServer::openConnections() const
{
    int open = 0;
    for (const auto& socket : m_allSockets) {
        if (socket && socket->state() != QAbstractSocket::UnconnectedState)
            ++open;
    }
    return open;
}

bool FakeFtpServer::waitForAllClosed(int timeoutMs)
{
    return waitForOpenConnections(0, timeoutMs);
}

bool FakeFtpServer::waitForOpenConnections(int n, int timeoutMs)
{
    return waitUntil([&] { return openConnections() == n; }, timeoutMs);
}

void FakeFtpServer::onNewControl()
{
    while (QTcpSocket* socket = m_server.nextPendingConnection()) {
        m_allSockets.append(socket);
        // A new session replaces the old one (a client reconnecting may be faster than our
        // noticing its close).
        if (m_control)
            m_control->abort();
        m_control = socket;
        m_inBuffer.clear();
        m_queue.clear();
        m_running = false;
        m_protectData = false;
        socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
        connect(socket, &QTcpSocket::readyRead, this, &FakeFtpServer::onControlReadyRead);
        if (m_tls && m_implicitTls) {
            enqueue([this, socket](auto next) { handshakeThen(socket, true, [next](QTcpSocket*) { next(); }); });
            m_protectData = true;
        }
        reply(m_greeting);
    }
}

void FakeFtpServer::onControlReadyRead()
{
    if (!m_control)
        return;
    m_inBuffer += m_control->readAll();
    qsizetype end;
    while ((end = m_inBuffer.indexOf("\r\n")) >= 0) {
        const QByteArray line = m_inBuffer.left(end);
        m_inBuffer.remove(0, end + 2);
        handle(line);
    }
}

void FakeFtpServer::enqueue(Step step)
{
    m_queue.append(std::move(step));
    runQueue();
}

void FakeFtpServer::runQueue()
{
    if (m_running || m_queue.isEmpty())
        return;
    m_running = true;
    Step step = m_queue.takeFirst();
    step([this] {
        m_running = false;
        QTimer::singleShot(0, this, &FakeFtpServer::runQueue);
    });
}

void FakeFtpServer::sendNow(const QByteArray& bytes, bool byteByByte, std::function<void()> done)
{
    if (!m_control) {
        done();
        return;
    }
    if (!byteByByte || bytes.size() <= 1) {
        m_control->write(bytes);
        m_control->flush();
        done();
        return;
    }
    m_control->write(bytes.left(1));
    m_control->flush();
    QTimer::singleShot(3, this, [this, rest = bytes.mid(1), done] { sendNow(rest, true, done); });
}

void FakeFtpServer::reply(const Response& response)
{
    if (response.delayMs > 0)
        enqueue([this, ms = response.delayMs](auto next) { QTimer::singleShot(ms, this, next); });
    if (!response.bytes.isEmpty())
        enqueue([this, response](auto next) { sendNow(response.bytes, response.byteByByte, next); });
    if (response.closeAfter) {
        enqueue([this](auto next) {
            if (m_control)
                m_control->disconnectFromHost();
            next();
        });
    }
}

QString FakeFtpServer::pathOf(const QByteArray& name) const
{
    const QByteArray inRoot = name.startsWith('/') ? name : m_cwd + (m_cwd.endsWith('/') ? "" : "/") + name;
    return m_root.path() + QString::fromUtf8(inRoot);
}

void FakeFtpServer::changeDirectory(const QByteArray& to)
{
    QList<QByteArray> parts = to.startsWith('/') ? QList<QByteArray>() : m_cwd.split('/');
    for (const QByteArray& part : to.split('/')) {
        if (part == "..") {
            while (!parts.isEmpty() && parts.last().isEmpty())
                parts.removeLast();
            if (!parts.isEmpty())
                parts.removeLast();
        } else if (!part.isEmpty() && part != ".") {
            parts.append(part);
        }
    }
    QByteArray path;
    for (const QByteArray& part : std::as_const(parts)) {
        if (!part.isEmpty())
            path += '/' + part;
    }
    m_cwd = path.isEmpty() ? QByteArray("/") : path;
}

void FakeFtpServer::handle(const QByteArray& raw)
{
    const QString line = QString::fromUtf8(raw);
    m_commands.append(line);
    m_rawCommands.append(raw);
    const qsizetype space = line.indexOf(u' ');
    const QString verb = (space < 0 ? line : line.left(space)).toUpper();
    const QString argument = space < 0 ? QString() : line.mid(space + 1);
    const QByteArray rawArgument = raw.indexOf(' ') < 0 ? QByteArray() : raw.mid(raw.indexOf(' ') + 1);
    const QString path = pathOf(rawArgument);

    if (verb == QLatin1String("PASV")) {
        m_pasvListener.close();
        m_pasvListener.listen(QHostAddress::LocalHost, 0);
        m_activeMode = false;
        m_waitingForData = nullptr;
    } else if (verb == QLatin1String("PORT")) {
        const QStringList n = argument.split(u',');
        if (n.size() == 6) {
            m_portAddress = QHostAddress(QStringList(n.mid(0, 4)).join(u'.'));
            m_portPort = quint16(n[4].toInt() * 256 + n[5].toInt());
            m_activeMode = true;
        }
    }

    auto scripted = m_scripts.find(verb);
    const bool isScripted = scripted != m_scripts.end() && !scripted->isEmpty();
    // A directory change moves us unless a scripted reply refuses it.
    if ((verb == u"CWD" || verb == u"CDUP") && (!isScripted || scripted->first().bytes.startsWith('2')))
        changeDirectory(verb == u"CDUP" ? QByteArray("..") : rawArgument);
    if (isScripted) {
        reply(scripted->takeFirst());
        return;
    }

    if (isDataVerb(verb)) {
        startTransfer(verb, rawArgument);
        return;
    }
    if (verb == u"AUTH" && m_tls && (argument.compare(u"TLS", Qt::CaseInsensitive) == 0
                                     || argument.compare(u"TLS-C", Qt::CaseInsensitive) == 0)) {
        // The 234 goes out in the clear, then the client's first bytes are its ClientHello.
        reply(Response{"234 Proceed with negotiation.\r\n"});
        enqueue([this](auto next) {
            if (!m_control) {
                next();
                return;
            }
            handshakeThen(m_control, true, [next](QTcpSocket*) { next(); });
        });
        return;
    }
    if (verb == u"PROT" && m_tls && isControlEncrypted())
        m_protectData = argument.compare(u"P", Qt::CaseInsensitive) == 0;
    const auto either = [](bool done, const char* yes, const char* no) { return QByteArray(done ? yes : no); };
    const quint16 p = m_pasvListener.serverPort();
    QByteArray text = "502 Not implemented.";
    if (verb == u"USER")
        text = "331 Password required.";
    else if (verb == u"PASS")
        text = "230 Logged in.";
    else if (verb == u"TYPE")
        text = "200 Type set.";
    else if (verb == u"CWD" || verb == u"CDUP")
        text = "250 Directory changed.";
    else if (verb == u"PWD")
        text = "257 " + quotedDirectory(m_cwd) + " is the current directory.";
    else if (verb == u"OPTS")
        text = "200 OK.";
    else if (verb == u"PBSZ" && m_tls && isControlEncrypted())
        text = "200 PBSZ=0";
    else if (verb == u"PROT" && m_tls && isControlEncrypted())
        text = m_protectData ? "200 Protection level set to P" : "200 Protection level set to C";
    else if (verb == u"SIZE")
        text = QFileInfo(path).isFile() ? "213 " + QByteArray::number(QFileInfo(path).size()) : "550 No such file.";
    else if (verb == u"FEAT" && m_features) {
        text = "211-Features:\r\n";
        for (const QByteArray& feature : *m_features)
            text += ' ' + feature + "\r\n";
        text += "211 End";
    }
    else if (verb == u"REST") {
        bool number = false;
        m_restAt = rawArgument.toLongLong(&number);
        text = number && m_restAt >= 0 ? "350 Restarting at " + rawArgument + '.' : "501 Bad REST.";
    }
    else if (verb == u"NOOP")
        text = "200 NOOP ok.";
    else if (verb == u"ABOR")
        text = "225 No transfer to abort.";
    else if (verb == u"QUIT")
        text = "221 Goodbye.";
    else if (verb == u"MKD")
        text = either(QDir().mkdir(path), "257 Created.", "550 Create failed.");
    else if (verb == u"RMD")
        text = either(QDir().rmdir(path), "250 Removed.", "550 Remove failed.");
    else if (verb == u"DELE")
        text = either(QFile::remove(path), "250 Deleted.", "550 Delete failed.");
    else if (verb == u"RNFR")
        text = either(QFileInfo::exists(m_renameFrom = path), "350 Ready for RNTO.", "550 No such file.");
    else if (verb == u"RNTO")
        text = either(QDir().rename(m_renameFrom, path), "250 Renamed.", "553 Rename failed.");
    else if (verb == u"PORT")
        text = either(m_activeMode, "200 PORT ok.", "501 Bad PORT.");
    else if (verb == u"PASV")
        text = m_pasvForm.arg(QStringLiteral("%1,%2,%3").arg(m_pasvHost).arg(p / 256).arg(p % 256)).toLatin1();
    reply(Response{text + "\r\n", 0, false, verb == u"QUIT"});
}

void FakeFtpServer::withDataSocket(std::function<void(QTcpSocket*)> use, std::function<void()> failed, bool tls)
{
    if (!m_activeMode) {
        if (QTcpSocket* socket = m_pasvListener.nextPendingConnection()) {
            ++m_dataAccepted;
            m_allSockets.append(socket);
            m_data = socket;
            handshakeThen(socket, tls, use);
        } else {
            m_waitingForData = [this, use, tls](QTcpSocket* socket) { handshakeThen(socket, tls, use); };
        }
        return;
    }
    const auto connectFrom = [this](const QHostAddress& from) {
        auto* socket = new QSslSocket(this);
        m_allSockets.append(socket);
        if (!from.isNull())
            socket->bind(from);
        socket->connectToHost(m_portAddress, m_portPort);
        return socket;
    };
    if (!m_stranger.isNull())
        connectFrom(m_stranger);  // the client must turn this one away
    QTimer::singleShot(m_stranger.isNull() ? 0 : 200, this, [this, connectFrom, use, failed, tls] {
        QTcpSocket* socket = connectFrom(QHostAddress(QHostAddress::LocalHost));
        m_data = socket;
        connect(socket, &QTcpSocket::connected, this, [this, socket, use, tls] {
            ++m_dataAccepted;
            // RFC 4217: the server that connects is still the TLS server of the data connection.
            handshakeThen(socket, tls, use);
        });
        // The client closed its listener already (a cancel): as real servers, say so.
        connect(socket, &QTcpSocket::errorOccurred, this, [socket, failed] {
            if (socket->state() != QAbstractSocket::ConnectedState && failed)
                failed();
        }, Qt::SingleShotConnection);
    });
}

QByteArray FakeFtpServer::defaultListing(bool mlsd) const
{
    QByteArray listing;
    const QFileInfoList entries = QDir(pathOf(".")).entryInfoList(QDir::AllEntries | QDir::NoDotAndDotDot, QDir::Name);
    for (const QFileInfo& info : entries) {
        if (mlsd) {
            listing += (info.isDir() ? "type=dir;" : "type=file;size=" + QByteArray::number(info.size()) + ';')
                       + "modify=20240101100000; " + info.fileName().toUtf8() + "\r\n";
            continue;
        }
        listing += (info.isDir() ? "drwxr-xr-x" : "-rw-r--r--");
        listing += "    1 0        0     " + QByteArray::number(info.isDir() ? 4096 : info.size()).rightJustified(10)
                   + " Jan 01 10:00 " + info.fileName().toUtf8() + "\r\n";
    }
    return listing;
}

void FakeFtpServer::startTransfer(const QString& verb, const QByteArray& argument)
{
    DataPlan plan;
    auto planned = m_plans.find(verb);
    if (planned != m_plans.end() && !planned->isEmpty())
        plan = planned->takeFirst();

    const bool upload = verb == QLatin1String("STOR") || verb == QLatin1String("APPE");
    // REST applies to the transfer command right after it (RETR, STOR); APPE adds at the end.
    const qint64 restAt = std::exchange(m_restAt, 0);
    const QIODevice::OpenMode uploadMode = verb == QLatin1String("APPE") ? QIODevice::WriteOnly | QIODevice::Append
                                           : restAt > 0                  ? QIODevice::ReadWrite
                                                                         : QIODevice::WriteOnly | QIODevice::Truncate;
    const QString path = pathOf(argument);
    QByteArray payload;
    if (verb == QLatin1String("LIST")) {
        payload = m_listing.isNull() ? defaultListing(false) : m_listing;
    } else if (verb == QLatin1String("MLSD")) {
        payload = m_mlsdListing.isNull() ? defaultListing(true) : m_mlsdListing;
    } else if (!upload) {
        QFile file(path);
        if (!file.open(QIODevice::ReadOnly)) {
            reply(Response{"550 Failed to open file.\r\n"});
            return;
        }
        if (restAt > file.size()) {
            reply(Response{"554 Invalid REST parameter.\r\n"});
            return;
        }
        file.seek(restAt);
        payload = file.readAll();
    }
    if (plan.announceSize && !upload)
        plan.preliminary = QStringLiteral("150 Opening BINARY mode data connection for %1 (%2 bytes).\r\n")
                               .arg(QString::fromUtf8(argument)).arg(payload.size()).toUtf8();

    if (plan.order == DataPlan::Order::FinalBeforePreliminary)
        reply(Response{plan.final + plan.preliminary});
    else
        reply(Response{plan.preliminary});

    // The data connection: downloads send the payload, uploads collect until the client closes.
    const auto dataFailed = std::make_shared<bool>(false);
    enqueue([this, plan, upload, payload, path, dataFailed, uploadMode, restAt](auto next) {
        const auto take = [this, plan, upload, payload, path, next, dataFailed, uploadMode, restAt] {
            withDataSocket([this, plan, upload, payload, path, next, uploadMode, restAt](QTcpSocket* socket) {
                if (plan.stall) {
                    next();
                    return;
                }
                if (plan.stallAfter >= 0 && !upload) {
                    socket->write(payload.left(plan.stallAfter));
                    next();
                    return;
                }
                if (upload) {
                    auto received = std::make_shared<QByteArray>();
                    auto finishUpload = [socket, received, path, next, uploadMode, restAt] {
                        received->append(socket->readAll());
                        QFile file(path);
                        if (file.open(uploadMode) && (uploadMode & QIODevice::Append || file.seek(restAt)))
                            file.write(*received);
                        next();
                    };
                    connect(socket, &QTcpSocket::readyRead, this, [socket, received] { received->append(socket->readAll()); });
                    if (socket->state() == QAbstractSocket::UnconnectedState)
                        finishUpload();
                    else
                        connect(socket, &QTcpSocket::disconnected, this, finishUpload);
                    return;
                }
                const QByteArray sent = plan.dropAfter >= 0 ? payload.left(plan.dropAfter) : payload;
                socket->write(sent);
                const auto closeData = [socket] { socket->disconnectFromHost(); };
                if (plan.order == DataPlan::Order::FinalBeforeClose) {
                    socket->flush();
                    QTimer::singleShot(qMax(plan.closeDelayMs, 50), this, closeData);
                    next();
                    return;
                }
                QTimer::singleShot(plan.closeDelayMs, this, [this, socket, closeData, next] {
                    closeData();
                    if (socket->state() == QAbstractSocket::UnconnectedState)
                        next();
                    else
                        connect(socket, &QTcpSocket::disconnected, this, next);
                });
            }, [this, next, dataFailed] {
                *dataFailed = true;
                sendNow("425 Can't open data connection.\r\n", false, next);
            }, m_protectData && !plan.skipTlsHandshake);
        };
        if (plan.takeUpDelayMs > 0)
            QTimer::singleShot(plan.takeUpDelayMs, this, take);
        else
            take();
    });
    if (plan.order != DataPlan::Order::FinalBeforePreliminary && !plan.stall && plan.stallAfter < 0) {
        enqueue([this, final = plan.final, dataFailed](auto next) {
            if (*dataFailed)
                next();
            else
                sendNow(final, false, next);
        });
    }
}

}  // namespace zephra::test
