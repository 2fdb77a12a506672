// zephraftp-cli over TLS, run as a program on both routes against vsftpd (explicit TLS with
// session reuse, and implicit TLS) and plain pyftpdlib: --tls, ftps://, --cacert, --pin-sha256
// and exit status 8; the tool never asks.
#include "FtpTestServers.h"
#include "RunProgram.h"
#include "TestFiles.h"

#include "ftp/Tls.h"

#include <QTemporaryDir>
#include <gtest/gtest.h>

using namespace zephra::test;

namespace {

class CliTls : public ::testing::TestWithParam<const char*> {
protected:
    ProgramOutcome run(const FtpTestServer& server, const QStringList& arguments)
    {
        return runProgram(QStringLiteral(ZEPHRA_CLI_PATH), QStringList{QStringLiteral("--route"), QString::fromLatin1(GetParam())} + arguments,
                          server.cliEnvironment());
    }
    static QString fingerprint(const FtpTestServer& server)
    {
        zephra::ftp::PeerCertificate c;
        c.sha256 = server.certificateSha256();
        return c.fingerprintText();
    }
};

}  // namespace

TEST_P(CliTls, CertificateTrustedByCaFileOrPinOnlyElseExit8)
{
    FtpServerSetup setup;
    setup.tls = TlsSetup::ExplicitRequired;
    VsftpdServer server(setup);
    if (!server.start())
        GTEST_SKIP() << server.errorString().toStdString();
    ASSERT_TRUE(writeFile(server.rootDir() + QStringLiteral("/a.txt"), "over tls"));
    const QString url = server.urlWithoutPassword();
    const QString pin = fingerprint(server);
    struct Row {
        const char* what;
        QStringList options;
        int status;
    };
    const Row rows[] = {
        {"--cacert", {"--cacert", server.certificatePath()}, 0},
        {"--tls require --cacert", {"--tls", "require", "--cacert", server.certificatePath()}, 0},
        {"--pin-sha256", {"--pin-sha256", pin}, 0},
        {"--pin-sha256 without colons, lower case", {"--pin-sha256", pin.toLower().remove(u':')}, 0},
        {"nothing trusts the certificate", {}, 8},
        {"a wrong pin", {"--pin-sha256", QString(pin).replace(0, 2, pin.startsWith(u'0') ? "11" : "00")}, 8},
    };
    for (const Row& row : rows) {
        const ProgramOutcome o = run(server, row.options + QStringList{"ls", url});
        EXPECT_EQ(o.status, row.status) << row.what << ": " << o.err.toStdString();
        if (row.status == 0) {
            EXPECT_TRUE(o.out.contains(QStringLiteral("- a.txt"))) << row.what << ": " << o.out.toStdString();
            EXPECT_TRUE(o.err.isEmpty()) << row.what << ": " << o.err.toStdString();
            continue;
        }
        // What the user needs to decide, and how to pin it: never a question.
        EXPECT_TRUE(o.err.contains(QStringLiteral("CN=localhost"))) << row.what << ": " << o.err.toStdString();
        EXPECT_TRUE(o.err.contains(QStringLiteral("--pin-sha256 ") + pin)) << row.what << ": " << o.err.toStdString();
        EXPECT_TRUE(o.out.isEmpty()) << row.what;
    }
}

TEST_P(CliTls, GetAndPutOverExplicitAndImplicitTls)
{
    // Guards the engine's upload to vsftpd over TLS 1.3 failing about two runs in three with "426
    // Failure reading network stream." and a short file: the data connection closed with the
    // server's session tickets unread ended in a reset.
    for (const TlsSetup tls : {TlsSetup::ExplicitRequired, TlsSetup::Implicit}) {
        FtpServerSetup setup;
        setup.tls = tls;
        VsftpdServer server(setup);
        if (!server.start())
            GTEST_SKIP() << server.errorString().toStdString();
        const bool implicit = tls == TlsSetup::Implicit;
        const auto url = [&](const QString& path) {
            QString u = server.urlWithoutPassword(path);
            return implicit ? u.replace(QStringLiteral("ftp://"), QStringLiteral("ftps://")) : u;
        };
        QTemporaryDir local;
        const QByteArray data = pattern(300 * 1000, 4);
        ASSERT_TRUE(writeFile(local.filePath(QStringLiteral("up.bin")), data));
        const QStringList trust{"--cacert", server.certificatePath()};
        ProgramOutcome o = run(server, trust + QStringList{"put", local.filePath(QStringLiteral("up.bin")), url("up.bin")});
        EXPECT_EQ(o.status, 0) << o.err.toStdString();
        EXPECT_TRUE(readFile(server.rootDir() + QStringLiteral("/up.bin")) == data);
        o = run(server, trust + QStringList{"get", url("up.bin"), local.filePath(QStringLiteral("down.bin"))});
        EXPECT_EQ(o.status, 0) << o.err.toStdString();
        EXPECT_TRUE(readFile(local.filePath(QStringLiteral("down.bin"))) == data);
        EXPECT_TRUE(o.err.isEmpty()) << o.err.toStdString();
    }
}

TEST_P(CliTls, APlainServer)
{
    // require: nothing but AUTH reaches the server, and exit 8; auto: works, with one warning
    // line; off: works and says nothing.
    PyftpdlibServer server;
    if (!server.start())
        GTEST_SKIP() << server.errorString().toStdString();
    ASSERT_TRUE(writeFile(server.rootDir() + QStringLiteral("/a.txt"), "plain"));
    const QString url = server.urlWithoutPassword();

    ProgramOutcome o = run(server, {"--tls", "require", "ls", url});
    EXPECT_EQ(o.status, 8) << o.err.toStdString();
    EXPECT_EQ(o.err.count(u'\n'), 1) << o.err.toStdString();
    EXPECT_TRUE(o.err.contains(QStringLiteral("TLS"))) << o.err.toStdString();
    EXPECT_FALSE(server.log().contains(QStringLiteral("USER"))) << server.log().toStdString();
    EXPECT_FALSE(server.log().contains(QStringLiteral("logged in"))) << server.log().toStdString();

    o = run(server, {"ls", url});
    EXPECT_EQ(o.status, 0) << o.err.toStdString();
    EXPECT_TRUE(o.out.contains(QStringLiteral("- a.txt")));
    EXPECT_EQ(o.err.count(u'\n'), 1) << o.err.toStdString();
    EXPECT_TRUE(o.err.contains(QStringLiteral("warning"))) << o.err.toStdString();

    o = run(server, {"--tls", "off", "ls", url});
    EXPECT_EQ(o.status, 0) << o.err.toStdString();
    EXPECT_TRUE(o.err.isEmpty()) << o.err.toStdString();
}

TEST_P(CliTls, BadTlsOptionsAreUsageErrors)
{
    PyftpdlibServer server;
    if (!server.start())
        GTEST_SKIP() << server.errorString().toStdString();
    const QString url = server.urlWithoutPassword();
    EXPECT_EQ(run(server, {"--tls", "maybe", "ls", url}).status, 2);
    EXPECT_EQ(run(server, {"--pin-sha256", "AB:CD", "ls", url}).status, 2);
    EXPECT_EQ(run(server, {"--cacert", "/nonexistent/ca.pem", "ls", url}).status, 3);
}

INSTANTIATE_TEST_SUITE_P(Routes, CliTls, ::testing::Values("engine", "direct"),
                         [](const ::testing::TestParamInfo<const char*>& info) { return std::string(info.param); });
