// Secrets reach zephraftp-cli without standing on its command line: the password from a netrc
// file or the environment, the key from a file or standard input; what is still given on the
// command line works with a warning. Logins run against pyftpdlib on loopback.
#include "app/cli/Netrc.h"

#include "FtpTestServers.h"
#include "RunProgram.h"
#include "TestFiles.h"

#include <QTemporaryDir>
#include <QUrl>
#include <gtest/gtest.h>

#ifndef ZEPHRA_CLI_PATH
#error "ZEPHRA_CLI_PATH must name the zephraftp-cli executable"
#endif

namespace {

using zephra::cli::findNetrcLogin;
using zephra::test::readFile;
using zephra::test::writeFile;

TEST(Netrc, FindsTheEntryOfTheHostAndUser)
{
    const QByteArray file =
        "# comment lines are not special, but blanks separate tokens\n"
        "machine ftp.example.org login alice password first\n"
        "machine FTP.example.org\n  login bob\n  password \"two words \\\"quoted\\\"\"\n"
        "macdef init\ncd /pub\nbinary\n\n"
        "machine other.example.org login carol password third account acct\n"
        "default login anonymous password guest@\n";
    struct Row {
        const char* name;
        QString host, user;
        std::optional<std::pair<QString, QString>> expected;
    } rows[] = {
        {"first entry of the host", "ftp.example.org", "", std::pair{QString("alice"), QString("first")}},
        {"entry of the named user", "ftp.example.org", "bob", std::pair{QString("bob"), QString("two words \"quoted\"")}},
        {"host case ignored", "Ftp.Example.Org", "alice", std::pair{QString("alice"), QString("first")}},
        {"after a macro, account skipped", "other.example.org", "", std::pair{QString("carol"), QString("third")}},
        {"unknown host takes the default", "nowhere.example", "", std::pair{QString("anonymous"), QString("guest@")}},
        {"unknown user of a known host, default does not match", "ftp.example.org", "dave", std::nullopt},
    };
    for (const Row& row : rows) {
        const auto found = findNetrcLogin(file, row.host, row.user);
        ASSERT_EQ(found.has_value(), row.expected.has_value()) << row.name;
        if (found) {
            EXPECT_EQ(found->login, row.expected->first) << row.name;
            EXPECT_EQ(found->password, row.expected->second) << row.name;
        }
    }
    EXPECT_FALSE(findNetrcLogin("", "ftp.example.org", "").has_value());
    EXPECT_FALSE(findNetrcLogin("machine", "ftp.example.org", "").has_value()) << "a cut-off file";
}

class CliSecrets : public ::testing::Test {
protected:
    void SetUp() override
    {
        QString reason;
        server = zephra::test::sharedFtpTestServer(QStringLiteral("pyftpdlib"), &reason);
        if (!server)
            GTEST_SKIP() << reason.toStdString();
        env.insert(QStringLiteral("HOME"), home.path());
        env.remove(QStringLiteral("ZEPHRA_PASSWORD"));
    }

    // The server is plain: --tls off, or every run warns that the login went in plain.
    zephra::test::ProgramOutcome run(const QStringList& arguments, const QByteArray& input = {})
    {
        const QStringList plain{QStringLiteral("--tls"), QStringLiteral("off")};
        return zephra::test::runProgram(QStringLiteral(ZEPHRA_CLI_PATH), plain + arguments, env, 60000, input);
    }
    // ftp://[user@]127.0.0.1:PORT/ with no password in it.
    QString urlWithoutPassword(bool withUser = true) const
    {
        return QStringLiteral("ftp://") + (withUser ? server->user() + u'@' : QString()) +
               QStringLiteral("127.0.0.1:%1/").arg(server->port());
    }
    QByteArray netrcFor(const QString& password, bool withLogin = true) const
    {
        return "machine 127.0.0.1 " + (withLogin ? "login " + server->user().toUtf8() + ' ' : QByteArray()) +
               "password \"" + password.toUtf8() + "\"\n";
    }

    zephra::test::FtpTestServer* server = nullptr;
    QTemporaryDir home;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
};

TEST_F(CliSecrets, PasswordComesFromNetrcOrTheEnvironmentAndAVisibleOneWarns)
{
    const QString netrc = home.filePath(QStringLiteral("my-netrc"));
    ASSERT_TRUE(writeFile(netrc, netrcFor(server->password())));
    auto r = run({QStringLiteral("--netrc-file"), netrc, QStringLiteral("ls"), urlWithoutPassword()});
    EXPECT_EQ(r.status, 0) << "--netrc-file: " << r.err.toStdString();
    EXPECT_FALSE(r.err.contains(QLatin1String("warning")));

    ASSERT_TRUE(writeFile(home.filePath(QStringLiteral(".netrc")), netrcFor(server->password())));
    r = run({QStringLiteral("ls"), urlWithoutPassword()});
    EXPECT_EQ(r.status, 0) << "~/.netrc: " << r.err.toStdString();
    r = run({QStringLiteral("ls"), urlWithoutPassword(false)});
    EXPECT_EQ(r.status, 0) << "~/.netrc names the user too: " << r.err.toStdString();
    ASSERT_TRUE(QFile::remove(home.filePath(QStringLiteral(".netrc"))));

    env.insert(QStringLiteral("ZEPHRA_PASSWORD"), server->password());
    r = run({QStringLiteral("ls"), urlWithoutPassword()});
    EXPECT_EQ(r.status, 0) << "ZEPHRA_PASSWORD: " << r.err.toStdString();
    env.remove(QStringLiteral("ZEPHRA_PASSWORD"));

    r = run({QStringLiteral("ls"), server->url()});
    EXPECT_EQ(r.status, 0) << r.err.toStdString();
    EXPECT_TRUE(r.err.contains(QLatin1String("warning: a password in the address can be seen by other users")))
        << r.err.toStdString();
}

TEST_F(CliSecrets, AMissingOrWrongPasswordFailsWithoutWaiting)
{
    // No netrc, no environment, standard input not a terminal: no prompt, the login is refused.
    auto r = run({QStringLiteral("ls"), urlWithoutPassword()});
    EXPECT_NE(r.status, 0);
    EXPECT_NE(r.status, -1) << "it must not wait for a password";

    const QString netrc = home.filePath(QStringLiteral("wrong"));
    ASSERT_TRUE(writeFile(netrc, netrcFor(QStringLiteral("not the password"))));
    r = run({QStringLiteral("--netrc-file"), netrc, QStringLiteral("ls"), urlWithoutPassword()});
    EXPECT_NE(r.status, 0);

    r = run({QStringLiteral("--netrc-file"), home.filePath(QStringLiteral("missing")), QStringLiteral("ls"),
             urlWithoutPassword()});
    EXPECT_NE(r.status, 0);
    EXPECT_TRUE(r.err.contains(QLatin1String("cannot read"))) << r.err.toStdString();
}

TEST_F(CliSecrets, KeyComesFromAFileOrStandardInputAndAVisibleOneWarns)
{
    const QString key = QStringLiteral("739215486127394851");
    const QString plain = home.filePath(QStringLiteral("plain"));
    ASSERT_TRUE(writeFile(plain, zephra::test::pattern(70000, 5)));
    auto r = run({QStringLiteral("encrypt"), QStringLiteral("--key"), key, plain, home.filePath(QStringLiteral("by-key"))});
    ASSERT_EQ(r.status, 0) << r.err.toStdString();
    EXPECT_TRUE(r.err.contains(QLatin1String("warning: a key given with --key can be seen by other users")));
    const QByteArray expected = readFile(home.filePath(QStringLiteral("by-key")));

    const QString keyFile = home.filePath(QStringLiteral("key.txt"));
    ASSERT_TRUE(writeFile(keyFile, key.toUtf8() + "\n"));
    r = run({QStringLiteral("encrypt"), QStringLiteral("--key-file"), keyFile, plain, home.filePath(QStringLiteral("by-file"))});
    ASSERT_EQ(r.status, 0) << r.err.toStdString();
    EXPECT_EQ(r.err, QString());
    EXPECT_TRUE(readFile(home.filePath(QStringLiteral("by-file"))) == expected);

    r = run({QStringLiteral("encrypt"), QStringLiteral("--key-stdin"), plain, home.filePath(QStringLiteral("by-stdin"))},
            key.toUtf8() + "\r\n");
    ASSERT_EQ(r.status, 0) << r.err.toStdString();
    EXPECT_TRUE(readFile(home.filePath(QStringLiteral("by-stdin"))) == expected);

    r = run({QStringLiteral("encrypt"), QStringLiteral("--key-file"), keyFile, QStringLiteral("--key-stdin"), plain,
             home.filePath(QStringLiteral("two"))});
    EXPECT_NE(r.status, 0);
    EXPECT_TRUE(r.err.contains(QLatin1String("only one of"))) << r.err.toStdString();
    r = run({QStringLiteral("encrypt"), QStringLiteral("--key-stdin"), plain, home.filePath(QStringLiteral("empty"))});
    EXPECT_NE(r.status, 0) << "an empty standard input is no key";
    EXPECT_FALSE(QFile::exists(home.filePath(QStringLiteral("two"))));
    EXPECT_FALSE(QFile::exists(home.filePath(QStringLiteral("empty"))));
}

}  // namespace
