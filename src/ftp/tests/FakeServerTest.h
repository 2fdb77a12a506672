#pragma once
// What the engine tests against the scripted fake server share: one bounded run of an operation,
// a login, and a fixture with a started server, an engine and a local work directory.

#include "FakeFtpServer.h"
#include "TestFiles.h"
#include "ftp/Connection.h"

#include <QDir>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <gtest/gtest.h>

namespace zephra::test {

using Response = FakeFtpServer::Response;
using DataPlan = FakeFtpServer::DataPlan;
using S = ftp::Connection::State;

// Runs one operation and returns its one result (bounded wait).
inline ftp::Result run(ftp::Connection& connection, const std::function<void()>& operation)
{
    QSignalSpy spy(&connection, &ftp::Connection::finished);
    operation();
    if (spy.isEmpty() && !spy.wait(15000))
        return ftp::Result{ftp::ErrorKind::ProtocolError, 0, {}, QStringLiteral("no result in time")};
    EXPECT_EQ(spy.count(), 1);
    return spy.takeFirst().at(0).value<ftp::Result>();
}

inline ftp::Result login(ftp::Connection& connection, const FakeFtpServer& server)
{
    return run(connection, [&] {
        connection.Connect(server.host(), QString::number(server.port()), server.user(), server.password());
    });
}

class FakeServerTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(server.start());
        connection.setTimeOut(3000);
        local = QDir(workDir.path()).filePath(QStringLiteral("local.bin"));
    }

    ftp::Result run(const std::function<void()>& operation) { return test::run(connection, operation); }
    ftp::Result login()
    {
        const ftp::Result result = test::login(connection, server);
        loginCommands = int(server.commands().size());
        return result;
    }
    void putRemote(const QString& name, const QByteArray& bytes) { ASSERT_TRUE(writeFile(server.rootDir() + '/' + name, bytes)); }
    QStringList commandsAfterLogin() const { return server.commands().mid(loginCommands); }
    // Nothing but the target itself in the local directory: no temporary file left behind.
    QStringList localEntries() const { return QDir(workDir.path()).entryList(QDir::Files | QDir::Hidden); }
    // Calls cancel() from the first progress report on.
    QMetaObject::Connection cancelOnProgress()
    {
        return QObject::connect(&connection, &ftp::Connection::transferProgress, &connection,
                                [this](qint64, qint64) { connection.cancel(); });
    }

    FakeFtpServer server;
    ftp::Connection connection;
    QTemporaryDir workDir;
    QString local;
    int loginCommands = 0;  // commands the login sent
};

}  // namespace zephra::test
