#include "TranscriptFtpServer.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QThread>

namespace zephra::ftp::direct::testsupport {

namespace {

// One user with full rights on an ephemeral port; prints the port once it listens.
constexpr auto kScript = R"PY(
import logging, sys
from pyftpdlib.authorizers import DummyAuthorizer
from pyftpdlib.handlers import FTPHandler
from pyftpdlib.servers import FTPServer
root, user, password, logfile, idle = sys.argv[1:6]
logging.basicConfig(filename=logfile, level=logging.DEBUG, format="%(message)s")
authorizer = DummyAuthorizer()
authorizer.add_user(user, password, root, perm="elradfmwMT")
class Handler(FTPHandler):
    pass
Handler.authorizer = authorizer
Handler.timeout = int(idle)
server = FTPServer(("127.0.0.1", 0), Handler)
print(server.address[1], flush=True)
server.serve_forever(timeout=0.2)  # a bounded poll lets the idle time-out fire
)PY";

}  // namespace

TranscriptFtpServer::~TranscriptFtpServer()
{
    if (m_process.state() == QProcess::NotRunning)
        return;
    m_process.terminate();
    if (!m_process.waitForFinished(3000)) {
        m_process.kill();
        m_process.waitForFinished(3000);
    }
}

bool TranscriptFtpServer::start()
{
    if (!m_dir.isValid() || !QDir().mkpath(root())) {
        m_error = QStringLiteral("cannot create the served directory");
        return false;
    }
    m_process.start(QStringLiteral("/usr/bin/python3"),
                    {QStringLiteral("-c"), QString::fromUtf8(kScript), root(), user(), password(),
                     m_dir.path() + QStringLiteral("/server.log"), QString::number(m_idleSeconds)});
    if (!m_process.waitForStarted(5000)) {
        m_error = QStringLiteral("python3 did not start: ") + m_process.errorString();
        return false;
    }
    const QDeadlineTimer deadline(10000);
    QByteArray out;
    while (!out.contains('\n') && !deadline.hasExpired() && m_process.state() == QProcess::Running) {
        m_process.waitForReadyRead(200);
        out += m_process.readAllStandardOutput();
    }
    m_port = out.trimmed().toInt();
    if (m_port <= 0)
        m_error = QStringLiteral("pyftpdlib did not report its port: ") + QString::fromUtf8(m_process.readAllStandardError());
    return m_port > 0;
}

QString TranscriptFtpServer::root() const
{
    return m_dir.path() + QStringLiteral("/root");
}

QString TranscriptFtpServer::log() const
{
    QFile f(m_dir.path() + QStringLiteral("/server.log"));
    return f.open(QIODevice::ReadOnly) ? QString::fromUtf8(f.readAll()) : QString();
}

int TranscriptFtpServer::loginCount() const
{
    return int(log().count(QStringLiteral("' logged in.")));
}

bool TranscriptFtpServer::waitForLog(const QString& text, int count, int timeoutMs) const
{
    const QDeadlineTimer deadline(timeoutMs);
    for (;;) {
        if (log().count(text) >= count)
            return true;
        if (deadline.hasExpired())
            return false;
        QThread::msleep(50);
    }
}

}  // namespace zephra::ftp::direct::testsupport
