#include "LocalFtpServer.h"

#include "ftp/direct/RemoteName.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QTcpServer>
#include <QTcpSocket>
#include <QThread>

namespace zephra::ftp::direct::testsupport {

namespace {

// pyftpdlib as a one-user server on an ephemeral port; prints the port once it listens.
constexpr auto kPyftpdlibScript = R"PY(
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
server.serve_forever(timeout=0.2)  # a bounded poll lets idle time-outs fire
)PY";

int freePort()
{
    QTcpServer probe;
    if (!probe.listen(QHostAddress::LocalHost, 0))
        return 0;
    return probe.serverPort();
}

bool accepts(int port)
{
    QTcpSocket s;
    s.connectToHost(QHostAddress::LocalHost, quint16(port));
    return s.waitForConnected(500);
}

}  // namespace

LocalFtpServer::LocalFtpServer(Settings settings)
    : m_settings(std::move(settings))
{
}

LocalFtpServer::~LocalFtpServer()
{
    stop();
}

QString LocalFtpServer::root() const { return m_dir.path() + QStringLiteral("/root"); }

QString LocalFtpServer::workDir() const
{
    return m_settings.kind == Kind::Vsftpd ? QStringLiteral("work") : QString();
}

QString LocalFtpServer::remote(const QString& name) const
{
    return remoteName(workDir(), name);
}

QString LocalFtpServer::path(const QString& relative) const
{
    const QString dir = workDir().isEmpty() ? root() : root() + QLatin1Char('/') + workDir();
    return dir + QLatin1Char('/') + relative;
}

QString LocalFtpServer::user() const
{
    return m_settings.kind == Kind::Vsftpd ? QStringLiteral("anonymous") : m_settings.user;
}

QString LocalFtpServer::password() const
{
    return m_settings.kind == Kind::Vsftpd ? QStringLiteral("zephra@localhost") : m_settings.password;
}

bool LocalFtpServer::start()
{
    if (!m_dir.isValid() || !QDir().mkpath(root())) {
        m_error = QStringLiteral("cannot create the served directory");
        return false;
    }
    const QString logFile = m_dir.path() + QStringLiteral("/server.log");
    m_process.setProcessChannelMode(QProcess::SeparateChannels);
    if (m_settings.kind == Kind::Pyftpdlib) {
        m_process.start(QStringLiteral("/usr/bin/python3"),
                        {QStringLiteral("-c"), QString::fromUtf8(kPyftpdlibScript), root(), m_settings.user,
                         m_settings.password, logFile, QString::number(m_settings.idleTimeoutSeconds)});
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
        if (m_port <= 0) {
            m_error = QStringLiteral("pyftpdlib did not report its port: ") + QString::fromUtf8(m_process.readAllStandardError());
            return false;
        }
        return true;
    }

    // vsftpd: anonymous login, write rights in workDir() only; every command and reply is logged.
    QDir().mkpath(path(QString()));
    QFile::setPermissions(path(QString()), QFileDevice::Permissions(0x7777));
    QDir().mkpath(m_dir.path() + QStringLiteral("/empty"));
    m_port = freePort();
    const QString config = m_dir.path() + QStringLiteral("/vsftpd.conf");
    QFile conf(config);
    if (!conf.open(QIODevice::WriteOnly)) {
        m_error = QStringLiteral("cannot write vsftpd.conf");
        return false;
    }
    const QString text = QStringLiteral(
        "listen=YES\nlisten_ipv6=NO\nlisten_address=127.0.0.1\nlisten_port=%1\nbackground=NO\n"
        "anonymous_enable=YES\nlocal_enable=NO\nno_anon_password=YES\nanon_root=%2\n"
        "write_enable=YES\nanon_upload_enable=YES\nanon_mkdir_write_enable=YES\nanon_other_write_enable=YES\n"
        "anon_umask=022\nallow_writeable_chroot=YES\nseccomp_sandbox=NO\nsecure_chroot_dir=%3\n"
        "connect_from_port_20=NO\nport_enable=YES\npasv_enable=YES\n"
        "xferlog_enable=YES\nxferlog_std_format=NO\nlog_ftp_protocol=YES\nvsftpd_log_file=%4\n"
        "dirmessage_enable=NO\nuse_localtime=NO\n")
                             .arg(m_port)
                             .arg(root(), m_dir.path() + QStringLiteral("/empty"), logFile);
    conf.write(text.toUtf8());
    conf.close();
    QFile::setPermissions(config, QFileDevice::ReadOwner | QFileDevice::WriteOwner);
    m_process.start(QStringLiteral("/usr/sbin/vsftpd"), {config});
    if (!m_process.waitForStarted(5000)) {
        m_error = QStringLiteral("vsftpd did not start: ") + m_process.errorString();
        return false;
    }
    const QDeadlineTimer deadline(10000);
    while (!deadline.hasExpired() && m_process.state() == QProcess::Running) {
        if (accepts(m_port)) {
            // That probe counted as a connection in the log; wait for it to be written.
            waitForLog(QStringLiteral("CONNECT"), 2000);
            return true;
        }
        QThread::msleep(50);
    }
    m_error = QStringLiteral("vsftpd does not listen: ") + QString::fromUtf8(m_process.readAllStandardError());
    return false;
}

void LocalFtpServer::stop()
{
    if (m_process.state() == QProcess::NotRunning)
        return;
    m_process.terminate();
    if (!m_process.waitForFinished(3000)) {
        m_process.kill();
        m_process.waitForFinished(3000);
    }
}

QString LocalFtpServer::log() const
{
    QFile f(m_dir.path() + QStringLiteral("/server.log"));
    if (!f.open(QIODevice::ReadOnly))
        return {};
    return QString::fromUtf8(f.readAll());
}

int LocalFtpServer::loginCount() const
{
    const QString text = log();
    if (m_settings.kind == Kind::Vsftpd)
        return int(text.count(QStringLiteral("OK LOGIN")));
    return int(text.count(QRegularExpression(QStringLiteral("USER '[^']*' logged in"))));
}

int LocalFtpServer::connectionCount() const
{
    const QString text = log();
    if (m_settings.kind == Kind::Vsftpd)
        return int(text.count(QStringLiteral("CONNECT: Client"))) - 1;  // less the start-up probe
    return int(text.count(QStringLiteral("FTP session opened")));
}

bool LocalFtpServer::waitForLog(const QString& text, int timeoutMs) const
{
    const QDeadlineTimer deadline(timeoutMs);
    for (;;) {
        if (log().contains(text))
            return true;
        if (deadline.hasExpired())
            return false;
        QThread::msleep(50);
    }
}

}  // namespace zephra::ftp::direct::testsupport
