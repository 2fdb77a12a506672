// zephraftp-cli's FTP commands against real servers on loopback, both modes: the commands'
// effects on disk, their output, exit status and the one error line.
#include "FtpTestServers.h"
#include "RunProgram.h"
#include "TestFiles.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <gtest/gtest.h>

using namespace zephra::test;

namespace {

using Outcome = ProgramOutcome;

Outcome cli(const QStringList& arguments, const QProcessEnvironment& env = QProcessEnvironment::systemEnvironment())
{
    return runProgram(QStringLiteral(ZEPHRA_CLI_PATH), arguments, env);
}

struct Setup {
    const char* server;
    bool active;
    const char* route;
};

class CliTest : public ::testing::TestWithParam<Setup> {
protected:
    void SetUp() override
    {
        QString reason;
        server = zephra::test::sharedFtpTestServer(QString::fromLatin1(GetParam().server), &reason);
        if (!server)
            GTEST_SKIP() << reason.toStdString();
        dir = QStringLiteral("cli %1").arg(++counter);
        ASSERT_TRUE(QDir().mkpath(server->rootDir() + QLatin1Char('/') + dir));
    }

    Outcome run(QStringList arguments)
    {
        if (GetParam().active)
            arguments.prepend(QStringLiteral("--active"));
        arguments = QStringList{QStringLiteral("--route"), QString::fromLatin1(GetParam().route)} + arguments;
        return cli(arguments, server->cliEnvironment());
    }

    QString url(const QString& name) const { return server->urlWithoutPassword(dir + QLatin1Char('/') + name); }
    QString remote(const QString& name) const { return server->rootDir() + QLatin1Char('/') + dir + QLatin1Char('/') + name; }

    FtpTestServer* server = nullptr;
    QTemporaryDir local;
    QString dir;
    static inline int counter = 0;
};

TEST_P(CliTest, EveryCommandDoesItsWork)
{
    QByteArray bytes(3 * 1024 * 1024 + 5, Qt::Uninitialized);
    for (qsizetype i = 0; i < bytes.size(); ++i)
        bytes[i] = char(i * 7 + i / 1000);
    const QString source = local.filePath(QStringLiteral("source file.bin"));
    ASSERT_TRUE(writeFile(source, bytes));

    const QString target = local.filePath(QStringLiteral("down.bin"));
    const auto runAll = [&](const QList<QStringList>& steps) {
        for (const QStringList& step : steps) {
            const Outcome o = run(step);
            ASSERT_EQ(o.status, 0) << step.join(u' ').toStdString() << ": " << o.err.toStdString();
        }
    };
    runAll({{"put", source, url("up load.bin")}, {"get", url("up load.bin"), target}, {"mkdir", url("sub dir")},
            {"mv", url("up load.bin"), "moved.bin"}});
    EXPECT_EQ(readFile(target), bytes);
    EXPECT_EQ(readFile(remote(QStringLiteral("moved.bin"))), bytes);
    Outcome o = run({"ls", url(QString())});
    QStringList lines = o.out.split(u'\n', Qt::SkipEmptyParts);
    lines.sort();
    EXPECT_EQ(lines, QStringList({"- moved.bin", "d sub dir"})) << o.err.toStdString();

    runAll({{"rm", url("moved.bin")}, {"rmdir", url("sub dir")}});
    o = run({"ls", url(QString())});
    EXPECT_EQ(o.status, 0);
    EXPECT_TRUE(o.out.isEmpty());
}

TEST_P(CliTest, FailuresSayOneLineAndLoseNothing)
{
    const QString target = local.filePath(QStringLiteral("keep.txt"));
    ASSERT_TRUE(writeFile(target, "precious"));
    Outcome o = run({"get", url(QStringLiteral("missing.bin")), target});
    EXPECT_NE(o.status, 0);
    EXPECT_EQ(o.err.count(u'\n'), 1);
    EXPECT_TRUE(o.err.startsWith("zephraftp-cli: get: ")) << o.err.toStdString();
    EXPECT_EQ(readFile(target), "precious");
    EXPECT_EQ(QDir(local.path()).entryList(QDir::Files | QDir::Hidden), QStringList({"keep.txt"}));

    o = run({"rm", url(QStringLiteral("missing.bin"))});
    EXPECT_NE(o.status, 0);
    o = run({"ls", QStringLiteral("ftp://%1@127.0.0.1:%2/").arg(server->badUser()).arg(server->port())});
    EXPECT_NE(o.status, 0);
    EXPECT_EQ(o.err.count(u'\n'), 1) << o.err.toStdString();
    if (QLatin1String(GetParam().route) == QLatin1String("engine")) {
        EXPECT_TRUE(o.err.contains("User not logged in correct.")) << o.err.toStdString();
    }
    // A decoded line break must not inject a command.
    o = run({"rm", url(QStringLiteral("x%0D%0ADELE y"))});
    EXPECT_NE(o.status, 0);
    o = run({"get", url(QStringLiteral("a"))});
    EXPECT_NE(o.status, 0);
    EXPECT_TRUE(o.err.contains("usage")) << o.err.toStdString();
}

// Guards: ls printed a symbolic link as a plain file, hiding where it leads.
TEST_P(CliTest, LsPrintsLinksWithTheirTargets)
{
    // vsftpd's LIST names every link; an MLSD server may describe what the link leads to instead.
    if (QLatin1String(GetParam().server) != QLatin1String("vsftpd"))
        GTEST_SKIP() << "links are checked on vsftpd";
    ASSERT_TRUE(writeFile(remote(QStringLiteral("v1.txt")), "1"));
    ASSERT_TRUE(QDir().mkpath(remote(QStringLiteral("real dir"))));
    ASSERT_TRUE(QFile::link(QStringLiteral("v1.txt"), remote(QStringLiteral("current"))));
    ASSERT_TRUE(QFile::link(QStringLiteral("real dir"), remote(QStringLiteral("to dir"))));
    const Outcome o = run({"ls", url(QString())});
    ASSERT_EQ(o.status, 0) << o.err.toStdString();
    QStringList lines = o.out.split(u'\n', Qt::SkipEmptyParts);
    lines.sort();
    EXPECT_EQ(lines, QStringList({"- v1.txt", "d real dir", "l current -> v1.txt", "l to dir -> real dir"}));
}

INSTANTIATE_TEST_SUITE_P(Servers, CliTest,
                         ::testing::Values(Setup{"vsftpd", false, "engine"}, Setup{"vsftpd", true, "engine"},
                                           Setup{"pyftpdlib", false, "engine"}, Setup{"pyftpdlib", true, "engine"},
                                           Setup{"vsftpd", true, "direct"}, Setup{"pyftpdlib", true, "direct"},
                                           Setup{"pyftpdlib", false, "direct"}),
                         [](const auto& info) {
                             return std::string(info.param.server) + (info.param.active ? "_active_" : "_passive_") +
                                    info.param.route;
                         });

}  // namespace
