// The server browser reading the listing work file: in place and on the worker, a newer
// listing winning over an older one still being parsed, the size limit, and what it shows after
// a failed listing.
#include <gtest/gtest.h>

#include <QFile>
#include <QLabel>
#include <QSignalSpy>
#include <QSemaphore>
#include <QTemporaryDir>
#include <QThreadPool>

#include <cstdio>

#include "ServerBrowserFixture.h"
#include "browse/ServerBrowser.h"
#include "ftp/ListingLimit.h"

using namespace zephra::browse;
using zephra::browse::testing::child;
using zephra::browse::testing::column0;
using zephra::browse::testing::writeFile;

namespace {

QStringList treeTexts(const ServerBrowser& b) { return column0(b.dirModel()); }
QStringList listTexts(const ServerBrowser& b) { return column0(b.fileModel()); }

struct Where {
    const char* name;
    bool onWorker;
};

class WorkFileLoad : public zephra::browse::testing::ServerBrowserTest, public ::testing::WithParamInterface<Where> {
protected:
    void SetUp() override
    {
        ServerBrowserTest::SetUp();
        if (GetParam().onWorker)
            browser.setInPlaceLimit(0);
    }

    // Starts the load and waits (bounded) until its rows are shown. On the worker, the rows of
    // the previous listing cannot be used meanwhile.
    bool loadAndWait(const std::function<bool()>& load)
    {
        QSignalSpy finished(&browser, &ServerBrowser::loadFinished);
        if (!load())
            return false;
        if (GetParam().onWorker) {
            EXPECT_TRUE(browser.isLoading());
            EXPECT_FALSE(list->isEnabled());
            EXPECT_FALSE(tree->isEnabled());
            EXPECT_TRUE(browser.selectedFiles().empty());
            EXPECT_TRUE(browser.directoryNodes().empty());
        }
        const bool shown = finished.count() == 1 || finished.wait(20000);
        EXPECT_FALSE(browser.isLoading());
        EXPECT_TRUE(list->isEnabled());
        return shown;
    }

    QTemporaryDir dir;
    QString path = dir.filePath("ZepFTPlist.dat");
};

}  // namespace

TEST_P(WorkFileLoad, FillsTheListsAndAnUnreadableFileChangesNothing)
{
    browser.loadServerData("d keep\n- a\n");
    list->selectAll();
    QString error;
    EXPECT_FALSE(browser.loadServerDataFromFile("/nonexistent/ZepFTPlist.dat", {}, &error));
    EXPECT_FALSE(error.isEmpty());
    EXPECT_EQ(treeTexts(browser), QStringList({"..", "keep"}));
    EXPECT_EQ(listTexts(browser), QStringList({"a"}));

    ASSERT_TRUE(writeFile(path, "d x\n- y.txt\ntype=file;size=1; z.gif\n"));
    ASSERT_TRUE(loadAndWait([&] { return browser.loadServerDataFromFile(path, ".gif"); }));
    EXPECT_EQ(treeTexts(browser), QStringList({"..", "x"}));
    EXPECT_EQ(listTexts(browser), QStringList({"z.gif"}));
    // Refreshing only the files leaves the tree alone and drops the filter.
    ASSERT_TRUE(writeFile(path, "d other\n- y.txt\n- z.gif\n"));
    ASSERT_TRUE(loadAndWait([&] { return browser.loadServerFilesFromFile(path); }));
    EXPECT_EQ(treeTexts(browser), QStringList({"..", "x"}));
    EXPECT_EQ(listTexts(browser), QStringList({"y.txt", "z.gif"}));
}

// Guards: the window read the whole work file into memory, however big the server made it.
TEST_P(WorkFileLoad, AWorkFileOverTheLimitIsRefusedUnread)
{
    browser.loadServerData("d keep\n- a\n");
    browser.setDirectory("/pub");
    QFile big(path);
    ASSERT_TRUE(big.open(QIODevice::WriteOnly));
    ASSERT_TRUE(big.resize(zephra::ftp::kMaxListingBytes + 1));  // sparse: nothing is written
    big.close();
    QString error;
    EXPECT_FALSE(browser.loadServerDataFromFile(path, {}, &error));
    EXPECT_EQ(error, zephra::ftp::listingTooLargeMessage("list /pub"));
    EXPECT_FALSE(browser.isLoading());
    EXPECT_EQ(listTexts(browser), QStringList({"a"}));
}

INSTANTIATE_TEST_SUITE_P(Where, WorkFileLoad, ::testing::Values(Where{"in_place", false}, Where{"on_the_worker", true}),
                         [](const auto& info) { return std::string(info.param.name); });

class ServerBrowserLoad : public zephra::browse::testing::ServerBrowserTest {};

// Guards: a listing parsed late replaced the newer one of the directory the session had moved to.
TEST_F(ServerBrowserLoad, ANewerListingWinsOverOneStillBeingParsed)
{
    browser.setInPlaceLimit(0);
    QTemporaryDir dir;
    const QString older = dir.filePath("older"), newer = dir.filePath("newer");
    ASSERT_TRUE(writeFile(older, "d old dir\n- old.txt\n"));
    ASSERT_TRUE(writeFile(newer, "d new dir\n- new.txt\n"));
    QSignalSpy finished(&browser, &ServerBrowser::loadFinished);

    ASSERT_TRUE(browser.loadServerDataFromFile(older));
    ASSERT_TRUE(browser.loadServerDataFromFile(newer));
    drainWorkers();
    EXPECT_EQ(finished.count(), 1);
    EXPECT_EQ(treeTexts(browser), QStringList({"..", "new dir"}));
    EXPECT_EQ(listTexts(browser), QStringList({"new.txt"}));

    // A listing in memory, a failure shown and a closed session all come after it, too.
    ASSERT_TRUE(browser.loadServerDataFromFile(older));
    browser.loadServerData("- memory.txt\n");
    drainWorkers();
    EXPECT_EQ(listTexts(browser), QStringList({"memory.txt"}));
    ASSERT_TRUE(browser.loadServerDataFromFile(older));
    browser.showListingFailure("/sub", "451 Timeout");
    drainWorkers();
    EXPECT_EQ(treeTexts(browser), QStringList({".."}));
    EXPECT_TRUE(listTexts(browser).isEmpty());
    ASSERT_TRUE(browser.loadServerDataFromFile(older));
    browser.clear();
    drainWorkers();
    EXPECT_EQ(browser.dirModel()->rowCount(), 0);
    EXPECT_EQ(finished.count(), 1);  // only the first newer one
    EXPECT_TRUE(list->isEnabled());
}

// The sessions replace the work file by renaming a new one over it; a listing still waiting for
// the worker then showed the next directory's listing under the previous one.
TEST_F(ServerBrowserLoad, TheWorkerReadsTheWorkFileAsItWasWhenTheLoadStarted)
{
    browser.setInPlaceLimit(0);
    QTemporaryDir dir;
    const QString path = dir.filePath("ZepFTPlist.dat"), next = dir.filePath("next");
    ASSERT_TRUE(writeFile(path, "d this dir\n- this.txt\n"));
    ASSERT_TRUE(writeFile(next, "d next dir\n- next.txt\n"));
    // Every pool thread waits at the gate, so the listing is parsed only after the rename.
    QThreadPool* pool = QThreadPool::globalInstance();
    QSemaphore gate;
    for (int i = 0; i < pool->maxThreadCount(); ++i)
        pool->start([&gate] { gate.acquire(); });
    ASSERT_TRUE(browser.loadServerDataFromFile(path));
    ASSERT_TRUE(::rename(QFile::encodeName(next).constData(), QFile::encodeName(path).constData()) == 0);
    gate.release(pool->maxThreadCount());
    drainWorkers();
    EXPECT_EQ(treeTexts(browser), QStringList({"..", "this dir"}));
    EXPECT_EQ(listTexts(browser), QStringList({"this.txt"}));
}

// After a listing that failed or was cancelled the window shows where the session is, never the
// old directory's files.
TEST_F(ServerBrowserLoad, AFailedListingShowsTheDirectoryAnEmptyListAndTheError)
{
    browser.setDirectory("/pub");
    browser.loadServerData("d sub\n- old.txt\n");
    EXPECT_FALSE(tree->isHeaderHidden());
    EXPECT_EQ(browser.dirModel()->headerData(0, Qt::Horizontal).toString(), "/pub");

    browser.showListingFailure("/pub/caf\xe9", "Cannot list /pub/caf\xc3\xa9: 451 Data connection failed.");
    EXPECT_EQ(browser.directory(), QByteArray("/pub/caf\xe9"));
    EXPECT_EQ(browser.dirModel()->headerData(0, Qt::Horizontal).toString(), QString::fromUtf8("/pub/caf\xc3\xa9"));
    EXPECT_EQ(treeTexts(browser), QStringList({".."}));  // the way back up stays
    EXPECT_TRUE(listTexts(browser).isEmpty());
    auto* label = child<QLabel>(&browser, "ServerListingError");
    ASSERT_TRUE(label);
    EXPECT_TRUE(label->isVisible());
    EXPECT_EQ(label->text(), browser.listingError());
    EXPECT_TRUE(label->text().contains("451 Data connection failed.")) << label->text().toStdString();

    browser.loadServerData("- new.txt\n");  // the next listing takes the error away
    EXPECT_FALSE(label->isVisible());
    EXPECT_TRUE(browser.listingError().isEmpty());
    EXPECT_EQ(listTexts(browser), QStringList({"new.txt"}));

    browser.clear();
    EXPECT_TRUE(browser.directory().isEmpty());
    EXPECT_TRUE(tree->isHeaderHidden());
}
