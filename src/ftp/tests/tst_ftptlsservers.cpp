// The TLS set-ups of the test servers themselves, proved with other clients before the engine
// relies on them: each setup takes a verified TLS session with two data connections (resumed:
// vsftpd requires it), and a server that requires TLS turns a plain login away. vsftpd is tried
// with curl; pyftpdlib with Python's ftplib, because pyftpdlib 1.5.7 resets a data connection
// whose handshake starts before the transfer command (curl's order), so curl fails there.
#include "FtpTestServers.h"
#include "RunProgram.h"

#include <QFile>
#include <QStandardPaths>
#include <gtest/gtest.h>

using namespace zephra::test;

namespace {

struct TlsServerCase {
    const char* server;
    TlsSetup tls;
    bool plainLoginWorks;
};

class TlsTestServers : public ::testing::TestWithParam<TlsServerCase> {};

// Two downloads of a.txt over FTPS in one session with Python's ftplib; prints the bytes.
constexpr auto kFtplibScript = R"PY(
import ftplib, ssl, sys
host, port, user, password, ca = sys.argv[1:6]
ftp = ftplib.FTP_TLS(context=ssl.create_default_context(cafile=ca))
ftp.connect(host, int(port), timeout=20)
ftp.login(user, password)
ftp.prot_p()
for _ in range(2):
    ftp.retrbinary("RETR a.txt", sys.stdout.buffer.write)
ftp.quit()
)PY";

constexpr auto kPlainFtplibScript = R"PY(
import ftplib, sys
host, port, user, password = sys.argv[1:5]
ftp = ftplib.FTP()
ftp.connect(host, int(port), timeout=20)
ftp.login(user, password)
ftp.retrbinary("RETR a.txt", sys.stdout.buffer.write)
ftp.quit()
)PY";

TEST_P(TlsTestServers, TakeVerifiedSessionsAndResumedDataConnections)
{
    const bool useCurl = QLatin1String(GetParam().server) == QLatin1String("vsftpd");
    const QString curl = QStandardPaths::findExecutable(QStringLiteral("curl"));
    if (useCurl && curl.isEmpty())
        GTEST_SKIP() << "curl is not installed";
    FtpServerSetup setup;
    setup.tls = GetParam().tls;
    auto server = makeFtpTestServer(QString::fromLatin1(GetParam().server), setup);
    if (!server->start())
        GTEST_SKIP() << server->errorString().toStdString();
    ASSERT_EQ(server->certificateSha256().size(), 32);
    QFile file(server->rootDir() + QStringLiteral("/a.txt"));
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write("hello over tls\n");
    file.close();

    // Two downloads in one session: the second data connection resumes too.
    const auto python = [&](const char* script, QStringList more) {
        return runProgram(QStringLiteral("/usr/bin/python3"),
                          QStringList{QStringLiteral("-c"), QString::fromLatin1(script), server->host(),
                                      QString::number(server->port()), server->user(), server->password()}
                              + more);
    };
    const ProgramOutcome tls =
        useCurl ? runProgram(curl, {QStringLiteral("-sS"), QStringLiteral("--ssl-reqd"), QStringLiteral("--cacert"),
                                    server->certificatePath(), server->url(QStringLiteral("a.txt")),
                                    server->url(QStringLiteral("a.txt"))})
                : python(kFtplibScript, {server->certificatePath()});
    EXPECT_EQ(tls.status, 0) << tls.err.toStdString();
    EXPECT_EQ(tls.out, QStringLiteral("hello over tls\nhello over tls\n"));

    if (GetParam().tls == TlsSetup::Implicit)
        return;
    const ProgramOutcome plain =
        useCurl ? runProgram(curl, {QStringLiteral("-sS"), server->url(QStringLiteral("a.txt"))})
                : python(kPlainFtplibScript, {});
    EXPECT_EQ(plain.status == 0, GetParam().plainLoginWorks) << plain.err.toStdString();
}

const TlsServerCase kCases[] = {
    {"vsftpd", TlsSetup::ExplicitRequired, false},    {"vsftpd", TlsSetup::ExplicitOptional, true},
    {"vsftpd", TlsSetup::Implicit, false},            {"pyftpdlib", TlsSetup::ExplicitRequired, false},
    {"pyftpdlib", TlsSetup::ExplicitOptional, true},
};

std::string caseName(const ::testing::TestParamInfo<TlsServerCase>& info)
{
    static const char* const names[] = {"None", "Required", "Optional", "Implicit"};
    return std::string(info.param.server) + names[int(info.param.tls)];
}

INSTANTIATE_TEST_SUITE_P(, TlsTestServers, ::testing::ValuesIn(kCases), caseName);

}  // namespace
