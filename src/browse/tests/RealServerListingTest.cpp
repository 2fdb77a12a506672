// The server browser fed with what real servers send for LIST (fetched with libcurl), for
// names with blanks, symbolic links, UTF-8 and hostile names.

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QTreeView>

#include <curl/curl.h>

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

// The raw LIST output of the server's top directory.
QByteArray fetchListing(const zephra::test::FtpTestServer& server, QString* error)
{
    QByteArray bytes;
    CURL* curl = curl_easy_init();
    const QByteArray url = server.url().toUtf8() + (server.url().endsWith('/') ? "" : "/");
    curl_easy_setopt(curl, CURLOPT_URL, url.constData());
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, &collect);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, &bytes);
    curl_easy_setopt(curl, CURLOPT_TIMEOUT, 20L);
    const CURLcode rc = curl_easy_perform(curl);
    curl_easy_cleanup(curl);
    if (rc != CURLE_OK)
        *error = QString::fromUtf8(curl_easy_strerror(rc));
    return bytes;
}

class RealServerListing : public ::testing::TestWithParam<const char*> {};

}  // namespace

TEST_P(RealServerListing, TreeAndListShowWhatTheServerHolds)
{
    auto server = zephra::test::makeFtpTestServer(QString::fromLatin1(GetParam()));
    if (!server->start())
        GTEST_SKIP() << server->errorString().toStdString();
    const QString root = server->rootDir();
    ASSERT_TRUE(QDir(root).mkpath("sub dir"));
    ASSERT_TRUE(writeFile(root + "/my  file.txt", QByteArray(100, 'x')));
    ASSERT_TRUE(writeFile(root + QString::fromUtf8("/česky.txt"), "c"));
    ASSERT_TRUE(writeFile(root + "/a\\b.txt", "b"));
    ASSERT_TRUE(writeFile(root + "/ctl\x01.txt", "c"));
    ASSERT_TRUE(QFile::link("my  file.txt", root + "/latest"));

    QString error;
    const QByteArray listing = fetchListing(*server, &error);
    ASSERT_TRUE(error.isEmpty()) << error.toStdString();

    ServerBrowser browser;
    browser.loadServerData(listing);
    QStringList tree;
    for (int r = 0; r < browser.dirModel()->rowCount(); ++r)
        tree << browser.dirModel()->index(r, 0).data().toString();
    EXPECT_EQ(tree, QStringList({"..", "sub dir"})) << listing.toStdString();

    QMap<QString, const FileRow*> rows;
    for (const FileRow& r : browser.fileModel()->rows())
        rows.insert(r.name, &r);
    ASSERT_TRUE(rows.contains("my  file.txt")) << listing.toStdString();
    EXPECT_EQ(rows["my  file.txt"]->size, 100);
    EXPECT_TRUE(rows["my  file.txt"]->offered);
    EXPECT_FALSE(rows["my  file.txt"]->modified < 0);
    EXPECT_TRUE(rows.contains("latest"));
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

INSTANTIATE_TEST_SUITE_P(Servers, RealServerListing, ::testing::Values("vsftpd", "pyftpdlib"));
