#include "dialogs/AuxWindows.h"
#include "dialogs/HelpPages.h"
#include "TestFiles.h"

#include <QCheckBox>
#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTextBrowser>
#include <gtest/gtest.h>

using namespace zephra::dialogs;

using zephra::test::readFile;
using zephra::test::writeFile;

TEST(HelpPages, MissingPagesAreInstalledAndPresentOnesKept)
{
    QTemporaryDir dir;
    const QString appDir = dir.path() + u'/';
    ASSERT_TRUE(writeFile(appDir + kKeyPage, "<p>my own notes</p>"));
    EXPECT_TRUE(installHelpPages(appDir).isEmpty());
    for (const QString& page : helpPages())
        EXPECT_TRUE(QFileInfo(appDir + page).size() > 500 || page == kKeyPage) << page.toStdString();
    EXPECT_EQ(readFile(appDir + kKeyPage), QByteArray("<p>my own notes</p>"));
    EXPECT_TRUE(readFile(appDir + kSendPage).contains("Send File Encrypted"));
}

TEST(frmBrowser, ShowsTheInstalledPageAndFollowsLinks)
{
    QTemporaryDir dir;
    const QString appDir = dir.path() + u'/';
    ASSERT_TRUE(installHelpPages(appDir).isEmpty());
    frmBrowser browser(appDir, kOverviewPage);
    EXPECT_EQ(browser.windowTitle(), QStringLiteral("Overview"));  // the window test checks the other pages
    EXPECT_EQ(helpPageCaption(QStringLiteral("other.htm")), QStringLiteral("Web Message"));
    auto* viewer = browser.findChild<QTextBrowser*>(QStringLiteral("WebBrowser1"));
    ASSERT_NE(viewer, nullptr);
    EXPECT_TRUE(viewer->toPlainText().contains(QStringLiteral("Zephra Encryption FTP 5")));
    viewer->setSource(QUrl(kKeyPage));  // a relative link as in the pages
    EXPECT_TRUE(viewer->toPlainText().contains(QStringLiteral("Generate Key")));

    browser.show();
    for (const QSize size : {QSize(400, 300), QSize(900, 700)}) {
        browser.resize(size);
        QCoreApplication::processEvents();
        EXPECT_EQ(viewer->size(), browser.size()) << "the page fills the window";
    }
}

TEST(frmBrowser, AMissingPageShowsAnErrorPage)
{
    QTemporaryDir dir;
    frmBrowser browser(dir.path() + u'/', kSendPage);
    EXPECT_TRUE(browser.viewer()->toPlainText().contains(QStringLiteral("could not be found")));
}

// Guards the fault where the fourth paragraph overlapped the third and was cut off: the dialog
// was sized before its wrapped labels knew their heights.
TEST(frmAbout, ShowsEveryParagraphWholeAndDoneCloses)
{
    frmAbout about;
    about.show();
    QCoreApplication::processEvents();
    QRect previous;
    for (const char* name : {"Label1", "Label2", "Label3", "Label4"}) {
        const auto* label = about.findChild<QLabel*>(QLatin1String(name));
        ASSERT_NE(label, nullptr) << name;
        const QRect box = label->geometry();
        EXPECT_GE(box.height(), label->heightForWidth(box.width())) << name << " is cut off";
        EXPECT_FALSE(box.intersects(previous)) << name << " overlaps the paragraph above";
        EXPECT_TRUE(about.rect().contains(box)) << name << " leaves the window";
        previous = box;
    }
    about.findChild<QPushButton*>(QStringLiteral("Command1"))->click();
    EXPECT_FALSE(about.isVisible());
}

TEST(Notice, MarkerDecidesAndTickingWritesDone)
{
    QTemporaryDir dir;
    const QString appDir = dir.path() + u'/';
    const QString marker = appDir + QStringLiteral("opt.dne");

    EXPECT_TRUE(noticeWanted(appDir));
    EXPECT_TRUE(QFileInfo::exists(marker)) << "the check leaves an empty marker";
    EXPECT_EQ(QFileInfo(marker).size(), 0);

    {
        frmNotice notice(appDir);
        notice.show();
        EXPECT_EQ(notice.findChild<QPlainTextEdit*>(QStringLiteral("Text1"))->toPlainText(), frmNotice::kNoticeText);
        EXPECT_TRUE(frmNotice::kNoticeText.contains(QStringLiteral("9 June, 2005.  If you")));
        notice.close();  // not ticked
    }
    EXPECT_TRUE(noticeWanted(appDir));

    {
        frmNotice notice(appDir);
        notice.show();
        notice.findChild<QCheckBox*>(QStringLiteral("Check1"))->setChecked(true);
        notice.close();  // the close box, not a button
    }
    EXPECT_EQ(readFile(marker), QByteArray("Done\r\n"));
    EXPECT_FALSE(noticeWanted(appDir));

    ASSERT_TRUE(writeFile(marker, "x"));
    EXPECT_FALSE(noticeWanted(appDir)) << "any content suppresses the notice";
}
