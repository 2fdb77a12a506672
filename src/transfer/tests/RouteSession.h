#pragma once
// A logged-in session on one route, against a real server on 127.0.0.1 or the scripted one, and
// the RemoteRoute for its login directory: what the tests of transfers over both routes share.
//
//   RouteSession session;
//   if (!session.start("vsftpd", /*engine=*/true)) GTEST_SKIP() << session.skipReason();
//   TransferRun run(session.route(), items, cipher);

#include "FakeFtpServer.h"
#include "FtpTestServers.h"
#include "ftp/Connection.h"
#include "ftp/direct/DirectWorker.h"
#include "transfer/RemoteRoute.h"

#include <QSignalSpy>

#include <memory>

namespace zephra::test {

class RouteSession {
public:
    // server: "vsftpd", "pyftpdlib" or "fake" (the scripted server, offering SIZE). False with
    // skipReason() when a real server cannot run here; a failed login fails the test.
    bool start(const char* server, bool engine)
    {
        QString host, user, password;
        quint16 port = 0;
        if (QLatin1String(server) == QLatin1String("fake")) {
            m_fake = std::make_unique<FakeFtpServer>();
            m_fake->setFeatures({"SIZE"});
            EXPECT_TRUE(m_fake->start());
            host = m_fake->host(), user = m_fake->user(), password = m_fake->password(), port = m_fake->port();
        } else {
            m_server = makeFtpTestServer(QString::fromLatin1(server));
            if (!m_server->start()) {
                m_skipReason = m_server->errorString();
                return false;
            }
            host = m_server->host(), user = m_server->user(), password = m_server->password(), port = m_server->port();
        }
        if (engine) {
            m_connection.setTimeOut(10000);
            QSignalSpy connected(&m_connection, &ftp::Connection::finished);
            m_connection.Connect(host, QString::number(port), user, password);
            EXPECT_TRUE(connected.wait(15000) && connected.at(0).at(0).value<ftp::Result>().ok());
            QSignalSpy typed(&m_connection, &ftp::Connection::finished);
            m_connection.TransferType(0);
            EXPECT_TRUE(typed.wait(15000));
            m_route = transfer::makeEngineRoute(m_connection, m_connection.currentDirectory());
        } else {
            ftp::direct::DirectOptions options;
            options.replyTimeoutMs = options.stallTimeoutMs = 10000;
            m_worker = std::make_unique<ftp::direct::DirectWorker>(options);
            QSignalSpy opened(m_worker.get(), &ftp::direct::DirectWorker::finished);
            m_worker->open(host, port, user, password);
            EXPECT_TRUE(!opened.isEmpty() || opened.wait(15000));
            EXPECT_TRUE(!opened.isEmpty() && opened.at(0).at(1).value<ftp::direct::DirectResult>().ok());
            QByteArray login;
            QSignalSpy asked(m_worker.get(), &ftp::direct::DirectWorker::finished);
            m_worker->run([&login](ftp::direct::DirectSession& session) {
                login = session.loginDirectory();
                return ftp::direct::DirectResult{};
            });
            EXPECT_TRUE(!asked.isEmpty() || asked.wait(15000));
            m_route = transfer::makeDirectRoute(*m_worker, login);
        }
        return true;
    }

    QString skipReason() const { return m_skipReason; }
    transfer::RemoteRoute& route() { return *m_route; }
    FakeFtpServer* fake() const { return m_fake.get(); }  // nullptr on a real server
    // A file in the directory the server serves.
    QString remote(const QString& name) const
    {
        return (m_fake ? m_fake->rootDir() : m_server->rootDir()) + u'/' + name;
    }

private:
    std::unique_ptr<FtpTestServer> m_server;
    std::unique_ptr<FakeFtpServer> m_fake;
    ftp::Connection m_connection;
    std::unique_ptr<ftp::direct::DirectWorker> m_worker;
    std::unique_ptr<transfer::RemoteRoute> m_route;
    QString m_skipReason;
};

}  // namespace zephra::test
