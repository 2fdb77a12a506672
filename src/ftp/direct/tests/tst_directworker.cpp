// DirectWorker: the session on its own thread, results and progress by signal.

#include "FtpTestServers.h"

#include "ftp/direct/DirectWorker.h"

#include <QDeadlineTimer>
#include <QFile>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QThread>

#include <gtest/gtest.h>

using namespace zephra::ftp::direct;

namespace {

DirectResult resultOf(const QSignalSpy& spy, qsizetype i)
{
    return spy.at(i).at(1).value<DirectResult>();
}

// Waits (bounded) until the spy holds n signals.
bool waitFor(QSignalSpy& spy, qsizetype n)
{
    const QDeadlineTimer deadline(20000);
    while (spy.size() < n && !deadline.hasExpired())
        spy.wait(200);
    return spy.size() >= n;
}

}  // namespace

TEST(DirectWorker, RunsOperationsInOrderOffTheCallingThread)
{
    zephra::test::PyftpdlibServer server;
    if (!server.start())
        GTEST_SKIP() << server.errorString().toStdString();
    {
        QFile f(server.rootDir() + QStringLiteral("/a file"));
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write(QByteArray(2 * 1024 * 1024, 'z'));
    }
    QTemporaryDir local;
    DirectWorker worker;
    QSignalSpy finished(&worker, &DirectWorker::finished);
    QSignalSpy listed(&worker, &DirectWorker::listed);
    QSignalSpy progress(&worker, &DirectWorker::progress);

    const quint64 open = worker.open(QStringLiteral("127.0.0.1"), server.port(), server.user(), server.password());
    const quint64 list = worker.list(QByteArray());
    const quint64 get = worker.get(QByteArray("a file"), local.path() + QStringLiteral("/a file"));
    const quint64 bad = worker.makeDirectory(QByteArray("a file"));  // exists as a file
    const quint64 run = worker.run([](DirectSession& s) {
        DirectResult r;
        if (s.loginDirectory() != "/" || s.connectionsOpened() != 1)
            r.error = DirectError::Protocol;  // pyftpdlib's login directory; one login for all
        return r;
    });
    ASSERT_TRUE(waitFor(finished, 5)) << finished.size();

    const quint64 expected[] = {open, list, get, bad, run};
    for (int i = 0; i < 5; ++i)
        EXPECT_EQ(finished.at(i).at(0).value<quint64>(), expected[i]);
    EXPECT_TRUE(resultOf(finished, 0).ok()) << resultOf(finished, 0).message.toStdString();
    EXPECT_TRUE(resultOf(finished, 1).ok());
    EXPECT_TRUE(resultOf(finished, 2).ok());
    EXPECT_EQ(resultOf(finished, 3).error, DirectError::ServerRefused);
    EXPECT_FALSE(resultOf(finished, 3).message.isEmpty());
    EXPECT_TRUE(resultOf(finished, 4).ok());

    ASSERT_EQ(listed.size(), 1);
    EXPECT_EQ(listed.at(0).at(0).value<quint64>(), list);
    const auto entries = listed.at(0).at(1).value<QList<DirectEntry>>();
    ASSERT_EQ(entries.size(), 1);
    EXPECT_EQ(entries.at(0).name, QStringLiteral("a file"));

    ASSERT_FALSE(progress.isEmpty());
    const QList<QVariant> last = progress.last();
    EXPECT_EQ(last.at(0).value<quint64>(), get);
    EXPECT_EQ(last.at(1).value<qint64>(), 2 * 1024 * 1024);  // the final count always arrives
    EXPECT_EQ(QFileInfo(local.path() + QStringLiteral("/a file")).size(), 2 * 1024 * 1024);
}

TEST(DirectWorker, CancelStopsQueuedWorkButNotLaterWork)
{
    zephra::test::PyftpdlibServer server;
    if (!server.start())
        GTEST_SKIP() << server.errorString().toStdString();
    DirectWorker worker;
    QSignalSpy finished(&worker, &DirectWorker::finished);
    // Block the worker thread so the next operations are still queued when cancel() comes.
    std::atomic<bool> release{false};
    worker.run([&](DirectSession& s) {
        for (int i = 0; i < 400 && !release; ++i)
            QThread::msleep(10);
        DirectResult r;
        if (s.isCancelled())
            r.error = DirectError::Cancelled;
        return r;
    });
    worker.open(QStringLiteral("127.0.0.1"), server.port(), server.user(), server.password());
    worker.makeDirectory(QByteArray("never"));
    worker.cancel();
    release = true;
    worker.open(QStringLiteral("127.0.0.1"), server.port(), server.user(), server.password());
    worker.makeDirectory(QByteArray("made"));
    ASSERT_TRUE(waitFor(finished, 5));
    EXPECT_EQ(resultOf(finished, 0).error, DirectError::Cancelled);  // the running one saw the flag too
    EXPECT_EQ(resultOf(finished, 1).error, DirectError::Cancelled);
    EXPECT_EQ(resultOf(finished, 2).error, DirectError::Cancelled);
    EXPECT_TRUE(resultOf(finished, 3).ok()) << resultOf(finished, 3).message.toStdString();
    EXPECT_TRUE(resultOf(finished, 4).ok()) << resultOf(finished, 4).message.toStdString();
    EXPECT_FALSE(QFileInfo::exists(server.rootDir() + QStringLiteral("/never")));
    EXPECT_TRUE(QFileInfo(server.rootDir() + QStringLiteral("/made")).isDir());
}
