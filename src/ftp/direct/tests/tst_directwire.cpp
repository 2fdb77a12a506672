// The direct route against the scripted server, for what real servers do not do on request: a
// data connection from a third address, replies that never come, data that stops, FEAT replies
// of every kind. The session blocks, so it runs on a thread of its own while the scripted
// server answers on this one.

#include "FakeFtpServer.h"
#include "TestFiles.h"

#include "ftp/direct/DirectSession.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QElapsedTimer>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <thread>

using namespace zephra::ftp::direct;
using zephra::test::FakeFtpServer;
using zephra::test::readFile;
using zephra::test::writeFile;

namespace {

// Runs job on a thread of its own and serves the scripted server here until it is done. The
// session's own time-outs bound the job; the deadline only keeps a broken test from hanging.
DirectResult whileServing(const std::function<DirectResult()>& job)
{
    std::atomic<bool> done{false};
    DirectResult result;
    std::thread worker([&] {
        result = job();
        done = true;
    });
    const QDeadlineTimer deadline(60000);
    while (!done && !deadline.hasExpired())
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    worker.join();
    return result;
}

DirectResult openOn(DirectSession& s, const FakeFtpServer& server)
{
    return whileServing([&] { return s.open(server.host(), server.port(), server.user(), server.password()); });
}

// Says goodbye while the scripted server can still answer (a session going out of scope here
// would wait for the reply to its QUIT with nobody serving).
void closeOn(DirectSession& s)
{
    (void)whileServing([&] {
        s.close();
        return DirectResult{};
    });
}

qsizetype countOf(const QStringList& commands, const QString& command) { return commands.count(command); }

}  // namespace

TEST(DirectWire, ActiveDataConnectionsOnlyFromTheServer)
{
    // Guards accepting a data connection from anyone: a third address delivered a "download".
    struct Row { const char* name; std::function<DirectResult(DirectSession&, const QString&)> run; };
    const Row rows[] = {
        {"download", [](DirectSession& s, const QString& local) { return s.get(QByteArray("f"), local); }},
        {"listing", [](DirectSession& s, const QString&) { QList<DirectEntry> e; return s.list(QByteArray("/"), &e); }},
        {"upload", [](DirectSession& s, const QString& local) { return s.put(local, QByteArray("up")); }},
    };
    for (const Row& row : rows) {
        FakeFtpServer server;
        ASSERT_TRUE(server.start());
        server.setActiveStrangerAddress(QHostAddress(QStringLiteral("127.0.0.2")));
        ASSERT_TRUE(writeFile(server.rootDir() + QStringLiteral("/f"), "served"));
        QTemporaryDir local;
        const QString target = local.path() + QStringLiteral("/f");
        ASSERT_TRUE(writeFile(target, "the user's own file"));
        DirectSession s;
        ASSERT_TRUE(openOn(s, server).ok()) << row.name;
        const DirectResult r = whileServing([&] { return row.run(s, target); });
        EXPECT_EQ(r.error, DirectError::DataConnection) << row.name << ": " << r.message.toStdString();
        EXPECT_TRUE(r.message.contains(QStringLiteral("127.0.0.2"))) << r.message.toStdString();
        EXPECT_EQ(readFile(target), "the user's own file") << row.name;
        EXPECT_EQ(QDir(local.path()).entryList(QDir::Files | QDir::Hidden).size(), 1) << row.name;
        EXPECT_FALSE(QFile::exists(server.rootDir() + QStringLiteral("/up"))) << row.name;
        closeOn(s);
    }
}

TEST(DirectWire, NoProgressEndsWithinTheTimeOut)
{
    // Guards giving up long after the time-out: no progress for the time-out ends the operation
    // within about a second more, whatever is being waited for.
    using Plan = FakeFtpServer::DataPlan;
    struct Row {
        const char* name;
        std::function<void(FakeFtpServer&)> script;
        std::function<DirectResult(DirectSession&, const QString&)> run;
    };
    const auto stall = [](const char* verb) { return [verb](FakeFtpServer& f) { f.planData(QString::fromLatin1(verb), Plan{.stall = true}); }; };
    const auto silentTo = [](const char* verb) {
        return [verb](FakeFtpServer& f) { f.script(QString::fromLatin1(verb), FakeFtpServer::Response{QByteArray()}); };
    };
    const auto get = [](DirectSession& s, const QString& local) { return s.get(QByteArray("f"), local); };
    const auto list = [](DirectSession& s, const QString&) { QList<DirectEntry> e; return s.list(QByteArray("/d"), &e); };
    const Row rows[] = {
        {"download whose data never comes", stall("RETR"), get},
        {"listing whose data never comes", stall("LIST"), list},
        {"download whose final reply never comes", [](FakeFtpServer& f) { f.planData(QStringLiteral("RETR"), Plan{.final = QByteArray()}); }, get},
        {"no reply to RETR", silentTo("RETR"), get},
        {"no reply to STOR", silentTo("STOR"), [](DirectSession& s, const QString& local) { return s.put(local, QByteArray("up")); }},
        {"no reply to CWD", silentTo("CWD"), list},
        {"no reply to DELE", silentTo("DELE"), [](DirectSession& s, const QString&) { return s.remove(QByteArray("f")); }},
    };
    constexpr int kTimeOutMs = 2000;
    for (const Row& row : rows) {
        FakeFtpServer server;
        ASSERT_TRUE(server.start());
        ASSERT_TRUE(writeFile(server.rootDir() + QStringLiteral("/f"), QByteArray(100 * 1024, 'f')));
        QTemporaryDir local;
        const QString target = local.path() + QStringLiteral("/f");
        ASSERT_TRUE(writeFile(target, "kept"));
        DirectOptions options;
        options.replyTimeoutMs = kTimeOutMs;
        options.stallTimeoutMs = kTimeOutMs;
        DirectSession s(options);
        ASSERT_TRUE(openOn(s, server).ok()) << row.name;
        row.script(server);
        QElapsedTimer t;
        t.start();
        const DirectResult r = whileServing([&] { return row.run(s, target); });
        EXPECT_EQ(r.error, DirectError::TimedOut) << row.name << ": " << r.message.toStdString();
        EXPECT_LT(t.elapsed(), kTimeOutMs + 1500) << row.name;
        EXPECT_EQ(readFile(target), "kept") << row.name;
        closeOn(s);
    }
}

TEST(DirectWire, ListsByChangingIntoTheDirectoryAndFailsLoudly)
{
    // Guards "LIST <path>" and a failed listing shown as an empty one.
    struct Row { const char* name; const char* verb; QByteArray reply; };
    const Row rows[] = {
        {"listed", nullptr, {}},
        {"CWD refused", "CWD", "550 No such directory.\r\n"},
        {"LIST refused", "LIST", "451 Requested action aborted: local error in processing.\r\n"},
        {"no data connection", "LIST", "425 Can't open data connection.\r\n"},
    };
    for (const Row& row : rows) {
        FakeFtpServer server;
        ASSERT_TRUE(server.start());
        ASSERT_TRUE(QDir(server.rootDir()).mkdir(QStringLiteral("-dashdir")));
        ASSERT_TRUE(writeFile(server.rootDir() + QStringLiteral("/-dashdir/inside"), "x"));
        DirectSession s;
        ASSERT_TRUE(openOn(s, server).ok()) << row.name;
        if (row.verb)
            server.script(QString::fromLatin1(row.verb), FakeFtpServer::Response{row.reply});
        QList<DirectEntry> entries;
        const DirectResult r = whileServing([&] { return s.list(QByteArray("/-dashdir"), &entries); });
        const QStringList commands = server.commands();
        EXPECT_TRUE(commands.contains(QStringLiteral("CWD /-dashdir"))) << row.name << ": " << commands.join(u',').toStdString();
        for (const QString& command : commands)
            EXPECT_FALSE(command.startsWith(QStringLiteral("LIST ")) || command.startsWith(QStringLiteral("MLSD "))) << command.toStdString();
        if (!row.verb) {
            EXPECT_TRUE(r.ok()) << r.message.toStdString();
            ASSERT_EQ(entries.size(), 1);
            EXPECT_EQ(entries.at(0).rawName, "inside");
            closeOn(s);
            continue;
        }
        EXPECT_FALSE(r.ok()) << row.name;
        EXPECT_TRUE(r.message.contains(QString::fromLatin1(row.reply.trimmed()))) << row.name << ": " << r.message.toStdString();
        EXPECT_TRUE(entries.isEmpty()) << row.name;
        EXPECT_EQ(commands.contains(QStringLiteral("LIST")), QByteArrayView(row.verb) == "LIST") << row.name;
        closeOn(s);
    }
}

TEST(DirectWire, SwitchesToUtf8NamesWhenFeatOffersThem)
{
    struct Row {
        const char* name;
        QByteArray feat;       // empty: FEAT unknown
        QByteArray optsReply;  // empty: the usual reply
        int optsAtLogin;       // OPTS UTF8 ON sent by open()
        int optsAgain;         // ... and after the server dropped the connection and a new login
    };
    const Row rows[] = {
        {"UTF8 offered", "211-Features:\r\n SIZE\r\n UTF8\r\n211 End\r\n", "200 UTF8 set to on\r\n", 1, 1},
        {"UTF8 offered, OPTS refused", "211-Features:\r\n UTF8\r\n211 End\r\n", "501 Invalid argument.\r\n", 1, 0},
        {"UTF8 not offered", "211-Features:\r\n SIZE\r\n MDTM\r\n211 End\r\n", {}, 0, 0},
        {"no FEAT", {}, {}, 0, 0},
    };
    for (const Row& row : rows) {
        FakeFtpServer server;
        ASSERT_TRUE(server.start());
        if (!row.feat.isEmpty())
            server.script(QStringLiteral("FEAT"), FakeFtpServer::Response{row.feat});
        server.script(QStringLiteral("OPTS"), FakeFtpServer::Response{row.optsReply.isEmpty() ? QByteArray("200 OK\r\n") : row.optsReply});
        server.script(QStringLiteral("OPTS"), FakeFtpServer::Response{row.optsReply.isEmpty() ? QByteArray("200 OK\r\n") : row.optsReply});
        // The first MKD is answered, then the server hangs up: the next operation logs in anew.
        server.script(QStringLiteral("MKD"), FakeFtpServer::Response{"257 Created.\r\n", 0, false, true});
        DirectSession s;
        ASSERT_TRUE(openOn(s, server).ok()) << row.name;
        EXPECT_EQ(s.serverOffersUtf8(), row.optsAtLogin == 1) << row.name;
        EXPECT_EQ(countOf(server.commands(), QStringLiteral("OPTS UTF8 ON")), row.optsAtLogin) << row.name;
        EXPECT_TRUE(whileServing([&] { return s.makeDirectory(QByteArray("a")); }).ok()) << row.name;
        ASSERT_TRUE(server.waitForOpenConnections(0)) << row.name;
        const qsizetype before = server.commands().size();
        const DirectResult r = whileServing([&] { return s.makeDirectory(QByteArray("b")); });
        EXPECT_TRUE(r.ok()) << row.name << ": " << r.message.toStdString();
        const QStringList again = server.commands().mid(before);
        EXPECT_EQ(countOf(again, QStringLiteral("USER user")), 1) << row.name << ": " << again.join(u',').toStdString();
        EXPECT_EQ(countOf(again, QStringLiteral("OPTS UTF8 ON")), row.optsAgain) << row.name << ": " << again.join(u',').toStdString();
        closeOn(s);
    }
}

TEST(DirectWire, NamesGoOutAsTheirBytes)
{
    // Guards names re-encoded from their shown text ("caf\xe9.txt" went out as UTF-8 and got 550).
    using Response = FakeFtpServer::Response;
    struct Row {
        const char* name;
        QList<std::pair<const char*, QByteArray>> replies;  // scripted, so no file need exist
        std::function<DirectResult(DirectSession&, const QString&)> run;
        QList<QByteArray> sent;  // in this order among the commands
    };
    const Row rows[] = {
        {"delete", {{"DELE", "250 Deleted.\r\n"}}, [](DirectSession& s, const QString&) { return s.remove(QByteArray("caf\xe9.txt")); },
         {"DELE /caf\xe9.txt"}},
        {"rename", {{"RNFR", "350 Ready.\r\n"}, {"RNTO", "250 Renamed.\r\n"}},
         [](DirectSession& s, const QString&) { return s.rename(QByteArray("caf\xe9.txt"), QByteArray("/r\xe9p/th\xe9 [1].txt")); },
         {"RNFR /caf\xe9.txt", "RNTO /r\xe9p/th\xe9 [1].txt"}},
        {"make and remove a directory", {{"MKD", "257 Created.\r\n"}, {"RMD", "250 Removed.\r\n"}},
         [](DirectSession& s, const QString&) {
             const DirectResult r = s.makeDirectory(QByteArray("r\xe9p"));
             return r.ok() ? s.removeDirectory(QByteArray("/r\xe9p")) : r;
         },
         {"MKD /r\xe9p", "RMD /r\xe9p"}},
        {"list", {}, [](DirectSession& s, const QString&) { QList<DirectEntry> e; return s.list(QByteArray("/r\xe9p/-x"), &e); },
         {"CWD /r\xe9p/-x", "LIST"}},
        {"download", {{"SIZE", "213 5\r\n"}, {"RETR", "550 Failed to open file.\r\n"}},
         [](DirectSession& s, const QString&) { return s.getTo(QByteArray("/r\xe9p/caf\xe9.txt"), [](const char*, qint64) { return true; }); },
         {"CWD /r\xe9p", "RETR caf\xe9.txt"}},
        {"upload", {{"STOR", "553 Could not create file.\r\n"}}, [](DirectSession& s, const QString& local) { return s.put(local, QByteArray("r\xe9p/\xe9t\xe9")); },
         {"CWD /r\xe9p", "STOR \xe9t\xe9"}},
    };
    for (const Row& row : rows) {
        FakeFtpServer server;
        ASSERT_TRUE(server.start());
        QTemporaryDir local;
        const QString file = local.path() + QStringLiteral("/f");
        ASSERT_TRUE(writeFile(file, "bytes"));
        DirectSession s;
        ASSERT_TRUE(openOn(s, server).ok()) << row.name;
        EXPECT_EQ(s.loginDirectory(), "/");
        for (const auto& [verb, reply] : row.replies)
            server.script(QString::fromLatin1(verb), Response{reply});
        const DirectResult r = whileServing([&] { return row.run(s, file); });
        if (row.replies.isEmpty() || !row.replies.last().second.startsWith('5'))
            EXPECT_TRUE(r.ok()) << row.name << ": " << r.message.toStdString();
        const QList<QByteArray> raw = server.rawCommands();
        qsizetype at = 0;
        for (const QByteArray& expected : row.sent) {
            at = raw.indexOf(expected, at);
            EXPECT_GE(at, 0) << row.name << ": " << expected.toStdString();
        }
        closeOn(s);
    }
}

TEST(DirectWire, ListsWithMlsdWhenFeatOffersIt)
{
    struct Row { const char* name; QList<QByteArray> features; const char* command; const char* notSent; };
    const Row rows[] = {
        {"MLST offered", {"SIZE", "MLST type*;size*;modify*;", "UTF8"}, "MLSD", "LIST"},
        {"MLST not offered", {"SIZE", "UTF8"}, "LIST", "MLSD"},
    };
    for (const Row& row : rows) {
        FakeFtpServer server;
        ASSERT_TRUE(server.start());
        server.setFeatures(row.features);
        ASSERT_TRUE(writeFile(server.rootDir() + QStringLiteral("/a  b.txt"), "12345"));
        ASSERT_TRUE(QDir(server.rootDir()).mkdir(QStringLiteral("sub")));
        DirectSession s;
        ASSERT_TRUE(openOn(s, server).ok()) << row.name;
        QList<DirectEntry> entries;
        const DirectResult r = whileServing([&] { return s.list(QByteArray("/"), &entries); });
        EXPECT_TRUE(r.ok()) << row.name << ": " << r.message.toStdString();
        const QStringList commands = server.commands();
        EXPECT_TRUE(commands.contains(QString::fromLatin1(row.command))) << row.name << ": " << commands.join(u',').toStdString();
        EXPECT_FALSE(commands.contains(QString::fromLatin1(row.notSent))) << row.name;
        ASSERT_EQ(entries.size(), 2) << row.name;
        EXPECT_EQ(entries.at(0).rawName, "a  b.txt") << row.name;
        EXPECT_EQ(entries.at(0).size, 5) << row.name;
        EXPECT_TRUE(entries.at(1).isDirectory) << row.name;
        closeOn(s);
    }
}

TEST(DirectWire, ACancelIsReportedAsACancelWhateverStoppedFirst)
{
    // Guards a cancel reported as a local read failure: a cipher stream stopped by the same cancel
    // fails the producer (or consumer) before libcurl sees the session's cancel.
    struct Row { const char* name; std::function<DirectResult(DirectSession&)> run; };
    const Row rows[] = {
        {"upload", [](DirectSession& s) {
             return s.putFrom([&s](char*, qint64) -> qint64 { s.cancel(); return -1; }, -1, QByteArray("up"));
         }},
        {"download", [](DirectSession& s) {
             return s.getTo(QByteArray("f"), [&s](const char*, qint64) { s.cancel(); return false; });
         }},
    };
    for (const Row& row : rows) {
        FakeFtpServer server;
        ASSERT_TRUE(server.start());
        ASSERT_TRUE(writeFile(server.rootDir() + QStringLiteral("/f"), "served"));
        DirectSession s;
        ASSERT_TRUE(openOn(s, server).ok()) << row.name;
        const DirectResult r = whileServing([&] { return row.run(s); });
        EXPECT_EQ(r.error, DirectError::Cancelled) << row.name << ": " << r.message.toStdString();
        closeOn(s);
    }
}
