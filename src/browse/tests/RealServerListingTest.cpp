// The server browser fed with what real servers send for LIST and MLSD (fetched with libcurl),
// for names with blanks, symbolic links, UTF-8, Latin-1 and hostile names.

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QTreeView>

#include <curl/curl.h>
#include <fcntl.h>
#include <unistd.h>

#include "FtpTestServers.h"
#include "TestUtil.h"
#include "browse/ServerBrowser.h"

using namespace zephra::browse;
using zephra::browse::testing::writeFile;

namespace {

size_t collect(char* data, size_t size, size_t count, void* out)
{
    static_cast<QByteArray*>(out)->append(data, qsizetype(size * count));
    return size * count;
}

// The raw LIST or MLSD output of the server's top directory.
QByteArray fetchListing(const zephra::test::FtpTestServer& server, const char* command, QString* error)
{
    QByteArray bytes;
    CURL* curl = curl_easy_init();
    const QByteArray url = server.url().toUtf8() + (server.url().endsWith('/') ? "" : "/");
    curl_easy_setopt(curl, CURLOPT_URL, url.constData());
    curl_easy_setopt(curl, CURLOPT_CUSTOMREQUEST, command);
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, &collect);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, &bytes);
    curl_easy_setopt(curl, CURLOPT_TIMEOUT, 20L);
    const CURLcode rc = curl_easy_perform(curl);
    curl_easy_cleanup(curl);
    if (rc != CURLE_OK)
        *error = QString::fromUtf8(curl_easy_strerror(rc));
    return bytes;
}

// A file named by bytes that are not UTF-8, as older clients write them.
bool createRawNamedFile(const QString& dir, const QByteArray& name)
{
    const QByteArray path = QFile::encodeName(dir) + '/' + name;
    const int fd = ::open(path.constData(), O_CREAT | O_WRONLY | O_TRUNC, 0644);
    return fd >= 0 && ::close(fd) == 0;
}

struct Case {
    const char* server;
    const char* command;
};

class RealServerListing : public ::testing::TestWithParam<Case> {};

}  // namespace

TEST_P(RealServerListing, TreeAndListShowWhatTheServerHolds)
{
    auto server = zephra::test::makeFtpTestServer(QString::fromLatin1(GetParam().server));
    if (!server->start())
        GTEST_SKIP() << server->errorString().toStdString();
    const QString root = server->rootDir();
    ASSERT_TRUE(QDir(root).mkpath("sub dir"));
    ASSERT_TRUE(writeFile(root + "/my  file.txt", QByteArray(100, 'x')));
    ASSERT_TRUE(writeFile(root + QString::fromUtf8("/česky.txt"), "c"));
    ASSERT_TRUE(writeFile(root + "/a\\b.txt", "b"));
    ASSERT_TRUE(writeFile(root + "/ctl\x01.txt", "c"));
    ASSERT_TRUE(QFile::link("my  file.txt", root + "/latest"));
    ASSERT_TRUE(QFile::link("sub dir", root + "/to dir"));
    const bool latin1Names = QLatin1String(GetParam().server) == QLatin1String("vsftpd");
    if (latin1Names) {  // pyftpdlib replaces bytes that are not UTF-8 before sending them
        ASSERT_TRUE(createRawNamedFile(root, "caf\xe9.txt"));
    }

    QString error;
    const QByteArray listing = fetchListing(*server, GetParam().command, &error);
    ASSERT_TRUE(error.isEmpty()) << error.toStdString();

    ServerBrowser browser;
    browser.loadServerData(listing);
    QStringList tree;
    for (int r = 0; r < browser.dirModel()->rowCount(); ++r)
        tree << browser.dirModel()->index(r, 0).data().toString();
    // A link to a directory: LIST says it is a link; pyftpdlib's MLSD says what it leads to.
    const bool mlsd = QLatin1String(GetParam().command) == QLatin1String("MLSD");
    EXPECT_EQ(tree, mlsd ? QStringList({"..", "sub dir", "to dir"}) : QStringList({"..", "sub dir"}))
        << listing.toStdString();

    QMap<QString, const FileRow*> rows;
    for (const FileRow& r : browser.fileModel()->rows())
        rows.insert(r.name, &r);
    ASSERT_TRUE(rows.contains("my  file.txt")) << listing.toStdString();
    EXPECT_EQ(rows["my  file.txt"]->size, 100);
    EXPECT_TRUE(rows["my  file.txt"]->offered);
    EXPECT_FALSE(rows["my  file.txt"]->modified < 0);
    ASSERT_TRUE(rows.contains("latest"));
    if (!mlsd) {
        ASSERT_TRUE(rows.contains("to dir"));
        EXPECT_TRUE(rows["latest"]->isLink);
        EXPECT_EQ(rows["latest"]->linkTarget, "my  file.txt");
        EXPECT_EQ(rows["to dir"]->linkTarget, "sub dir");
    }
    if (latin1Names) {
        ASSERT_TRUE(rows.contains(QString::fromUtf8("caf\xc3\xa9.txt"))) << listing.toStdString();
        EXPECT_EQ(rows[QString::fromUtf8("caf\xc3\xa9.txt")]->rawName, QByteArray("caf\xe9.txt"));
    }
    ASSERT_TRUE(rows.contains(QString::fromUtf8("česky.txt")));
    EXPECT_TRUE(rows[QString::fromUtf8("česky.txt")]->offered);
    ASSERT_TRUE(rows.contains("a\\b.txt"));
    EXPECT_FALSE(rows["a\\b.txt"]->offered);
    // Servers may show the control character as it is or replace it; either way nothing that
    // holds one is offered.
    int ctl = 0;
    for (const FileRow& r : browser.fileModel()->rows()) {
        ctl += r.name.startsWith("ctl") ? 1 : 0;
        const bool control = std::any_of(r.name.begin(), r.name.end(), [](QChar c) {
            return c.category() == QChar::Other_Control;
        });
        if (control) {
            EXPECT_FALSE(r.offered) << r.name.toStdString();
        }
    }
    EXPECT_EQ(ctl, 1);
}

// vsftpd knows no MLSD.
INSTANTIATE_TEST_SUITE_P(Servers, RealServerListing,
                         ::testing::Values(Case{"vsftpd", "LIST"}, Case{"pyftpdlib", "LIST"}, Case{"pyftpdlib", "MLSD"}),
                         [](const ::testing::TestParamInfo<Case>& info) {
                             return std::string(info.param.server) + "_" + info.param.command;
                         });
