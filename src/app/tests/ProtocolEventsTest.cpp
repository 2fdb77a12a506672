// What the log and the transfer list are fed from, on both routes against real servers: every
// command and reply line with the password masked, and each file's state through a command in
// which one file fails.

#include <gtest/gtest.h>

#include <QFile>
#include <QSignalSpy>
#include <QTemporaryDir>

#include "FtpTestServers.h"
#include "ftp/Connection.h"
#include "ftp/ProtocolLog.h"
#include "ftp/direct/DirectWorker.h"
#include "transfer/TransferRun.h"

using namespace zephra;
using namespace zephra::transfer;
using FileState = TransferRun::FileState;

namespace {

TEST(LoggableCommand, ShowsEveryCommandButThePassword)
{
    const struct {
        QByteArray sent;
        QString shown;
    } cases[] = {
        {"PASS s3cret pass", QStringLiteral("PASS ****")},
        {"PASS s3cret\r\n", QStringLiteral("PASS ****")},
        {"pass lower case", QStringLiteral("PASS ****")},  // servers take commands in any case
        {"PASS", QStringLiteral("PASS")},                   // nothing to hide
        {"PASSWORD-LIKE x", QStringLiteral("PASSWORD-LIKE x")},
        {"USER zephra\r\n", QStringLiteral("USER zephra")},
        {"STOR caf\xc3\xa9.txt", QStringLiteral("STOR café.txt")},
    };
    for (const auto& c : cases)
        EXPECT_EQ(ftp::loggableCommand(c.sent), c.shown) << c.sent.constData();
}

struct Param {
    const char* server;
    bool engine;
};

std::string paramName(const ::testing::TestParamInfo<Param>& info)
{
    return std::string(info.param.server) + (info.param.engine ? "_engine" : "_direct");
}

struct Line {
    QString text;
    bool sent;
};

class ProtocolEventsTest : public ::testing::TestWithParam<Param> {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(m_local.isValid());
        m_server = test::makeFtpTestServer(QString::fromLatin1(GetParam().server));
        if (!m_server->start())
            GTEST_SKIP() << m_server->errorString().toStdString();
        if (GetParam().engine) {
            QObject::connect(&m_connection, &ftp::Connection::protocolLine,
                             [this](const QString& line, bool sent) { m_lines.append({line, sent}); });
            m_connection.setTimeOut(10000);
            ASSERT_TRUE(await([&] { m_connection.Connect(m_server->host(), QString::number(m_server->port()),
                                                         m_server->user(), m_server->password()); }));
            ASSERT_TRUE(await([&] { m_connection.TransferType(0); }));
            m_route = makeEngineRoute(m_connection, m_connection.currentDirectory());
        } else {
            ftp::direct::DirectOptions options;
            options.replyTimeoutMs = options.stallTimeoutMs = 10000;
            m_worker = std::make_unique<ftp::direct::DirectWorker>(options);
            QObject::connect(m_worker.get(), &ftp::direct::DirectWorker::protocolLine, &m_context,
                             [this](const QString& line, bool sent) { m_lines.append({line, sent}); });
            QSignalSpy opened(m_worker.get(), &ftp::direct::DirectWorker::finished);
            m_worker->open(m_server->host(), m_server->port(), m_server->user(), m_server->password());
            ASSERT_TRUE(!opened.isEmpty() || opened.wait(15000));
            ASSERT_TRUE(opened.at(0).at(1).value<ftp::direct::DirectResult>().ok());
            m_route = makeDirectRoute(*m_worker, QByteArray());
        }
    }

    bool await(const std::function<void()>& operation)
    {
        QSignalSpy spy(&m_connection, &ftp::Connection::finished);
        operation();
        return spy.wait(15000) && spy.at(0).at(0).value<ftp::Result>().ok();
    }

    bool sawSent(const QString& start) const
    {
        return std::any_of(m_lines.begin(), m_lines.end(), [&](const Line& l) { return l.sent && l.text.startsWith(start); });
    }
    bool sawReply(const QString& start) const
    {
        return std::any_of(m_lines.begin(), m_lines.end(), [&](const Line& l) { return !l.sent && l.text.startsWith(start); });
    }

    QObject m_context;
    QTemporaryDir m_local;
    std::unique_ptr<test::FtpTestServer> m_server;
    ftp::Connection m_connection;
    std::unique_ptr<ftp::direct::DirectWorker> m_worker;
    std::unique_ptr<RemoteRoute> m_route;
    QList<Line> m_lines;
};

TEST_P(ProtocolEventsTest, LinesAndFileStatesOfACommandWithOneFailure)
{
    QFile file(m_server->rootDir() + QStringLiteral("/a.txt"));
    ASSERT_TRUE(file.open(QIODevice::WriteOnly) && file.write("alpha") == 5);
    file.close();
    QList<TransferItem> items;
    for (const char* name : {"a.txt", "missing.txt", "a.txt"}) {
        TransferItem item;
        item.kind = TransferItem::Kind::Download;
        item.name = QString::fromLatin1(name);
        item.localPath = m_local.filePath(QStringLiteral("copy-%1").arg(items.size()));
        items.append(item);
    }
    TransferRun run(*m_route, items);
    struct Event {
        int index;
        FileState state;
        QString reason;
    };
    QList<Event> events;
    QObject::connect(&run, &TransferRun::fileStateChanged,
                     [&](int index, const QString& name, FileState state, qint64, qint64, const QString& reason) {
                         EXPECT_EQ(name, items.at(index).name);
                         events.append({index, state, reason});
                     });
    QSignalSpy finished(&run, &TransferRun::finished);
    run.start();
    ASSERT_TRUE(finished.wait(60000));

    // Each file: queued at the start, running, then how it ended; only the missing one failed.
    for (int i = 0; i < 3; ++i) {
        QList<FileState> states;
        QString reason;
        for (const Event& e : events) {
            if (e.index == i) {
                if (states.isEmpty() || states.last() != e.state)
                    states.append(e.state);
                reason = e.reason;
            }
        }
        const FileState end = i == 1 ? FileState::Failed : FileState::Done;
        EXPECT_EQ(states, (QList<FileState>{FileState::Queued, FileState::Running, end})) << i;
        if (i == 1)
            EXPECT_TRUE(reason.contains(QStringLiteral("550"))) << reason.toStdString();
    }

    // The login and the transfers, commands and replies, the password nowhere.
    EXPECT_TRUE(sawSent(QStringLiteral("USER ") + m_server->user()));
    // vsftpd's anonymous login asks no password ("230 Login successful." right after USER).
    EXPECT_EQ(sawSent(QStringLiteral("PASS ****")), sawReply(QStringLiteral("331")));
    EXPECT_EQ(sawSent(QStringLiteral("PASS ****")), QLatin1String(GetParam().server) == QLatin1String("pyftpdlib"));
    EXPECT_TRUE(sawReply(QStringLiteral("230")));
    EXPECT_TRUE(sawSent(QStringLiteral("RETR a.txt")));
    EXPECT_TRUE(sawSent(QStringLiteral("RETR missing.txt")) || sawSent(QStringLiteral("SIZE missing.txt")));
    EXPECT_TRUE(sawReply(QStringLiteral("550")));
    for (const Line& line : std::as_const(m_lines)) {
        EXPECT_FALSE(line.text.contains(m_server->password())) << line.text.toStdString();
        EXPECT_FALSE(line.text.contains(u'\n') || line.text.contains(u'\r')) << line.text.toStdString();
        EXPECT_FALSE(line.text.contains(QStringLiteral("alpha"))) << "file data in the log";
    }
}

INSTANTIATE_TEST_SUITE_P(BothRoutes, ProtocolEventsTest,
                         ::testing::Values(Param{"vsftpd", true}, Param{"vsftpd", false}, Param{"pyftpdlib", true},
                                           Param{"pyftpdlib", false}),
                         paramName);

}  // namespace
