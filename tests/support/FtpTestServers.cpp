#include "FtpTestServers.h"

#include <QCryptographicHash>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QRandomGenerator>
#include <QSslCertificate>
#include <QSslSocket>
#include <QTcpServer>
#include <QTcpSocket>
#include <QThread>
#include <QUrl>
#include <map>

#ifdef Q_OS_LINUX
#include <csignal>
#include <sys/prctl.h>
#include <sys/resource.h>
#endif

namespace zephra::test {

namespace {

quint16 freePort()
{
    QTcpServer probe;
    if (!probe.listen(QHostAddress::LocalHost, 0))
        return 0;
    return probe.serverPort();
}

bool acceptsConnections(quint16 port, bool implicitTls)
{
    QSslSocket socket;
    socket.setPeerVerifyMode(QSslSocket::VerifyNone);
    if (implicitTls) {
        socket.connectToHostEncrypted(QStringLiteral("127.0.0.1"), port);
        if (!socket.waitForEncrypted(2000))
            return false;
    } else {
        socket.connectToHost(QHostAddress::LocalHost, port);
        if (!socket.waitForConnected(500))
            return false;
    }
    // Wait for the greeting: a server still starting may accept before it can answer.
    const bool greeted = socket.waitForReadyRead(2000) && socket.readAll().startsWith("220");
    socket.disconnectFromHost();
    return greeted;
}

// pyftpdlib with the options of its own command line (-w, -r, -u, -P, -i) plus debug logging
// of every command and reply, and an idle time-out.
constexpr auto kPyftpdlibScript = R"PY(
import logging, sys
from pyftpdlib.authorizers import DummyAuthorizer
from pyftpdlib.handlers import FTPHandler
from pyftpdlib.servers import FTPServer
port, root, user, password, first, last, idle, perm, tls, cert, key = sys.argv[1:12]
logging.basicConfig(level=logging.DEBUG, format="%(message)s", stream=sys.stdout)
handler = FTPHandler
if tls != "none":
    from pyftpdlib.handlers import TLS_FTPHandler
    handler = TLS_FTPHandler
    handler.certfile = cert
    handler.keyfile = key
    handler.tls_control_required = tls == "required"
    handler.tls_data_required = tls == "required"
authorizer = DummyAuthorizer()
authorizer.add_user(user, password, root, perm=perm)
handler.authorizer = authorizer
handler.passive_ports = list(range(int(first), int(last) + 1))
if int(idle) > 0:
    handler.timeout = int(idle)
FTPServer(("127.0.0.1", int(port)), handler).serve_forever(timeout=0.2)
)PY";

}  // namespace

FtpTestServer::FtpTestServer(QString name, QString user, QString password, FtpServerSetup setup)
    : m_name(std::move(name))
    , m_user(std::move(user))
    , m_password(std::move(password))
    , m_setup(std::move(setup))
{
}

FtpTestServer::~FtpTestServer()
{
    stop();
}

QString FtpTestServer::rootDir() const
{
    return m_dir.path() + QStringLiteral("/root");
}

QString FtpTestServer::logPath() const
{
    // ZEPHRA_FTP_SERVER_LOG=FILE names another file, for debugging.
    const QString chosen = qEnvironmentVariable("ZEPHRA_FTP_SERVER_LOG");
    return chosen.isEmpty() ? workDir() + QStringLiteral("/server.log") : chosen;
}

QString FtpTestServer::log() const
{
    QFile file(logPath());
    return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
}

bool FtpTestServer::waitForLog(const QString& text, int count, int timeoutMs) const
{
    const QDeadlineTimer deadline(timeoutMs);
    while (log().count(text) < count) {
        if (deadline.hasExpired())
            return false;
        QThread::msleep(50);
    }
    return true;
}

qint64 FtpTestServer::processId() const
{
    return m_process ? m_process->processId() : 0;
}

namespace {

// Implicit TLS is asked for by the scheme ftps://.
QString withScheme(QString url, TlsSetup tls)
{
    if (tls == TlsSetup::Implicit && url.startsWith(QLatin1String("ftp://")))
        url.insert(3, QLatin1Char('s'));
    return url;
}

}  // namespace

QString FtpTestServer::url(const QString& path) const
{
    return withScheme(ftpUrl(host(), m_port, m_user, m_password, path), m_setup.tls);
}

QString FtpTestServer::urlWithoutPassword(const QString& path) const
{
    return withScheme(ftpUrl(host(), m_port, m_user, QString(), path), m_setup.tls);
}

TestCertificate makeTestCertificate(const QString& dir, const QString& baseName)
{
    TestCertificate made;
    made.certificatePath = dir + QLatin1Char('/') + baseName + QStringLiteral(".pem");
    made.keyPath = dir + QLatin1Char('/') + baseName + QStringLiteral(".key");
    QProcess openssl;
    openssl.setProcessChannelMode(QProcess::MergedChannels);
    openssl.start(QStringLiteral("openssl"),
                  {QStringLiteral("req"), QStringLiteral("-x509"), QStringLiteral("-newkey"), QStringLiteral("rsa:2048"),
                   QStringLiteral("-nodes"), QStringLiteral("-days"), QStringLiteral("2"), QStringLiteral("-subj"),
                   QStringLiteral("/CN=localhost"), QStringLiteral("-addext"),
                   QStringLiteral("subjectAltName=IP:127.0.0.1,DNS:localhost"), QStringLiteral("-keyout"),
                   made.keyPath, QStringLiteral("-out"), made.certificatePath});
    if (!openssl.waitForStarted(5000) || !openssl.waitForFinished(30000) || openssl.exitStatus() != QProcess::NormalExit
        || openssl.exitCode() != 0) {
        made.error = QStringLiteral("openssl could not make a test certificate: %1 %2")
                         .arg(openssl.errorString(), QString::fromLocal8Bit(openssl.readAll()).trimmed());
        return made;
    }
    const QList<QSslCertificate> certificates = QSslCertificate::fromPath(made.certificatePath);
    if (certificates.isEmpty()) {
        made.error = QStringLiteral("openssl made no readable certificate at %1").arg(made.certificatePath);
        return made;
    }
    made.sha256 = certificates.first().digest(QCryptographicHash::Sha256);
    return made;
}

QProcessEnvironment FtpTestServer::cliEnvironment() const
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("ZEPHRA_PASSWORD"), m_password);
    return env;
}

QString ftpUrl(const QString& host, quint16 port, const QString& user, const QString& password, const QString& path)
{
    QUrl url;
    url.setScheme(QStringLiteral("ftp"));
    url.setHost(host);
    url.setPort(port);
    url.setUserName(user);
    url.setPassword(password);
    url.setPath(QLatin1Char('/') + path);
    return url.toString(QUrl::FullyEncoded);
}

bool FtpTestServer::start()
{
    stop();
    if (!m_dir.isValid() || !QDir().mkpath(rootDir())) {
        m_error = QStringLiteral("%1: can't create a temporary directory").arg(m_name);
        return false;
    }
    if (m_setup.tls != TlsSetup::None && !m_certificate.isValid()) {
        m_certificate = makeTestCertificate(workDir());
        if (!m_certificate.isValid()) {
            m_error = QStringLiteral("%1: %2").arg(m_name, m_certificate.error);
            return false;
        }
    }
    // Ports may be taken by a parallel test between probing and binding: try a few.
    for (int attempt = 0; attempt < 5; ++attempt) {
        m_port = freePort();
        m_pasvStart = quint16(20000 + QRandomGenerator::global()->bounded(30000));
        QString program;
        QStringList arguments;
        if (!prepare(&program, &arguments))
            return false;
        if (!QFileInfo(program).isExecutable()) {
            m_error = QStringLiteral("%1: %2 is not installed").arg(m_name, program);
            return false;
        }
        m_process = std::make_unique<QProcess>();
        // The server's output goes to a file (a pipe nobody reads would fill and stall it).
        m_process->setProcessChannelMode(QProcess::MergedChannels);
        m_process->setStandardOutputFile(logPath(), QIODevice::Append);
        m_process->setWorkingDirectory(workDir());
#ifdef Q_OS_LINUX
        // The server ends with the test process, even when that one crashes.
        m_process->setChildProcessModifier([limit = m_setup.fileSizeLimit] {
            ::prctl(PR_SET_PDEATHSIG, SIGKILL);
            if (limit > 0) {
                // A write past the limit fails with EFBIG instead of ending the server.
                ::signal(SIGXFSZ, SIG_IGN);
                const struct rlimit small {rlim_t(limit), rlim_t(limit)};
                ::setrlimit(RLIMIT_FSIZE, &small);
            }
        });
#endif
        m_process->start(program, arguments);
        if (!m_process->waitForStarted(5000)) {
            m_error = QStringLiteral("%1: can't start %2: %3").arg(m_name, program, m_process->errorString());
            m_process.reset();
            return false;
        }
        const QDeadlineTimer deadline(10000);
        while (!deadline.hasExpired() && m_process->state() == QProcess::Running) {
            if (acceptsConnections(m_port, m_setup.tls == TlsSetup::Implicit))
                return true;
            QThread::msleep(50);
        }
        m_process->waitForFinished(100);
        m_error = QStringLiteral("%1 did not start (status %2): %3")
                      .arg(m_name)
                      .arg(m_process->exitCode())
                      .arg(log().right(2000).trimmed());
        stop();
    }
    return false;
}

void FtpTestServer::stop()
{
    if (!m_process)
        return;
    if (m_process->state() != QProcess::NotRunning) {
        // vsftpd in the foreground does not end on SIGTERM: wait only briefly before killing.
        m_process->terminate();
        if (!m_process->waitForFinished(500)) {
            m_process->kill();
            m_process->waitForFinished(3000);
        }
    }
    m_process.reset();
}

VsftpdServer::VsftpdServer(FtpServerSetup setup)
    : FtpTestServer(QStringLiteral("vsftpd"), QStringLiteral("anonymous"), QStringLiteral("guest@example.org"),
                    std::move(setup))
{
}

QString VsftpdServer::tlsConfig() const
{
    const TlsSetup tls = setup().tls;
    if (tls == TlsSetup::None)
        return QString();
    // Debian's vsftpd offers TLS 1.3 and 1.2 as it is; it does not know ssl_tlsv1_2 (exits with
    // status 2 on it), so the version is chosen by limiting the client instead.
    const QString forced = tls == TlsSetup::ExplicitOptional ? QStringLiteral("NO") : QStringLiteral("YES");
    return QStringLiteral("ssl_enable=YES\nrsa_cert_file=%1\nrsa_private_key_file=%2\nallow_anon_ssl=YES\n"
                          "require_ssl_reuse=YES\nforce_anon_logins_ssl=%3\nforce_anon_data_ssl=%3\n"
                          "ssl_ciphers=HIGH\nimplicit_ssl=%4\n")
        .arg(certificate().certificatePath, certificate().keyPath, forced,
             tls == TlsSetup::Implicit ? QStringLiteral("YES") : QStringLiteral("NO"));
}

bool VsftpdServer::prepare(QString* program, QStringList* arguments)
{
    // Foreground, as the launching user, anonymous with write access: needs no root. The file
    // must belong to the user who starts vsftpd, or it exits with status 2 and says nothing;
    // we write it ourselves, so it does.
    const QString config = QStringLiteral(
                               "listen=YES\nlisten_ipv6=NO\nlisten_address=127.0.0.1\nlisten_port=%1\n"
                               "background=NO\nrun_as_launching_user=YES\nseccomp_sandbox=NO\n"
                               "anonymous_enable=YES\nlocal_enable=NO\nno_anon_password=YES\nanon_root=%2\n"
                               "write_enable=YES\nanon_upload_enable=YES\nanon_mkdir_write_enable=YES\n"
                               "anon_other_write_enable=YES\nanon_world_readable_only=NO\nanon_umask=022\n"
                               "pasv_enable=YES\npasv_address=127.0.0.1\npasv_min_port=%3\npasv_max_port=%4\n"
                               "port_enable=YES\nconnect_from_port_20=NO\nxferlog_enable=NO\n"
                               "use_localtime=NO\nhide_ids=YES\nmax_per_ip=0\nmax_clients=0\n"
                               "dirlist_enable=%5\n%6%7")
                               .arg(port())
                               .arg(rootDir())
                               .arg(pasvRangeStart())
                               .arg(pasvRangeStart() + kPasvRangeSize)
                               .arg(setup().listing ? QStringLiteral("YES") : QStringLiteral("NO"))
                               .arg(setup().uploadOnly ? QStringLiteral("anon_other_write_enable=NO\n"
                                                                        "anon_mkdir_write_enable=NO\n")
                                                       : QString())
                               .arg(tlsConfig());
    const QString path = workDir() + QStringLiteral("/vsftpd.conf");
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) || file.write(config.toUtf8()) < 0) {
        return false;
    }
    file.close();
    *program = QStringLiteral("/usr/sbin/vsftpd");
    *arguments = {path};
    return true;
}

PyftpdlibServer::PyftpdlibServer(int idleTimeoutSeconds, FtpServerSetup setup)
    : FtpTestServer(QStringLiteral("pyftpdlib"), QStringLiteral("zephra"),
                    setup.password.isEmpty() ? QStringLiteral("s3cret pass") : setup.password, setup)
    , m_idleSeconds(idleTimeoutSeconds)
{
}

bool PyftpdlibServer::prepare(QString* program, QStringList* arguments)
{
    if (setup().tls == TlsSetup::Implicit) {
        setError(QStringLiteral("pyftpdlib: no implicit TLS"));
        return false;
    }
    const QString tls = setup().tls == TlsSetup::None               ? QStringLiteral("none")
                        : setup().tls == TlsSetup::ExplicitRequired ? QStringLiteral("required")
                                                                    : QStringLiteral("optional");
    *program = QStringLiteral("/usr/bin/python3");
    *arguments = {QStringLiteral("-c"), QString::fromLatin1(kPyftpdlibScript), QString::number(port()), rootDir(),
                  user(), password(), QString::number(pasvRangeStart()),
                  QString::number(pasvRangeStart() + kPasvRangeSize), QString::number(m_idleSeconds),
                  setup().uploadOnly ? (setup().listing ? QStringLiteral("elw") : QStringLiteral("ew"))
                  : setup().listing  ? QStringLiteral("elradfmwMT")
                                     : QStringLiteral("eradfmwMT"),
                  tls, certificate().certificatePath, certificate().keyPath};
    return true;
}

std::unique_ptr<FtpTestServer> makeFtpTestServer(const QString& name, const FtpServerSetup& setup)
{
    if (name == QLatin1String("vsftpd"))
        return std::make_unique<VsftpdServer>(setup);
    if (name == QLatin1String("pyftpdlib"))
        return std::make_unique<PyftpdlibServer>(0, setup);
    return nullptr;
}

FtpTestServer* sharedFtpTestServer(const QString& name, QString* skipReason)
{
    static std::map<QString, std::unique_ptr<FtpTestServer>> servers;
    static std::map<QString, QString> failures;
    if (const auto failed = failures.find(name); failed != failures.end()) {
        *skipReason = failed->second;
        return nullptr;
    }
    auto& server = servers[name];
    if (!server) {
        server = makeFtpTestServer(name);
        if (!server || !server->start()) {
            failures[name] = server ? server->errorString() : QStringLiteral("no test server called %1").arg(name);
            *skipReason = failures[name];
            server.reset();
            return nullptr;
        }
    }
    return server.get();
}

}  // namespace zephra::test
