// The TLS choice of a profile in the Connections frame: kept beside connect.dat, which stays
// byte for byte what it was, and shown whole.
#include "WindowFixture.h"

#include "app/ProfileTlsStore.h"

#include <QCheckBox>
#include <QFileInfo>
#include <QLabel>

using namespace zephra;
using namespace zephra::apptest;

namespace {

class TlsProfilePanelTest : public WindowTest {
protected:
    const QByteArray recA = profile("A", "one.example", "u1", "p1", 'N', "21");
    const QByteArray recB = profile("B", "two.example", "u2", "p2", 'Y', "2121");

    QString connectFile() const { return file("connect.dat"); }
    QString tlsFile() const { return file("tls.dat"); }
    QComboBox* tls() const { return combo("cboTls"); }
    ftp::TlsMode shown() const { return ftp::TlsMode(tls()->currentData().toInt()); }
    void choose(ftp::TlsMode mode) { tls()->setCurrentIndex(tls()->findData(int(mode))); }
    ftp::TlsMode stored(const QString& name) const { return app::ProfileTlsStore(appDir).choice(name).mode; }
};

}  // namespace

TEST_F(TlsProfilePanelTest, TheChoiceIsSavedBesideConnectDatWhichStaysByteExact)
{
    writeFile(connectFile(), recA + recB);
    open();
    EXPECT_EQ(shown(), ftp::TlsMode::IfOffered) << "a profile saved before the choice existed";

    struct Row {
        const char* name;
        ftp::TlsMode mode;
    };
    for (const Row& row : {Row{"B", ftp::TlsMode::Require}, Row{"C", ftp::TlsMode::Plain}, Row{"A", ftp::TlsMode::IfOffered}}) {
        pick("cmbName", row.name[0] == 'B' ? 1 : 0);
        typeCombo("cmbName", QString::fromLatin1(row.name));
        if (row.name[0] == 'C') {
            type("txtAddr", QStringLiteral("three.example"));
            type("txtUser", QStringLiteral("u3"));
            type("txtPass", QStringLiteral("p3"));
            type("txtPort", QStringLiteral("990"));
            find<QCheckBox>("Check1")->setChecked(false);
        }
        choose(row.mode);
        click("Command1");
        EXPECT_EQ(stored(QString::fromLatin1(row.name)), row.mode) << row.name;
    }
    EXPECT_TRUE(prompter.asked().isEmpty());
    // connect.dat holds exactly the records it held, plus C in the same 225-byte layout.
    EXPECT_EQ(readFile(connectFile()), recA + recB + profile("C", "three.example", "u3", "p3", 'N', "990"));
    EXPECT_EQ(QFile::permissions(tlsFile()) & ~(QFileDevice::ReadUser | QFileDevice::WriteUser | QFileDevice::ExeUser),
              QFileDevice::ReadOwner | QFileDevice::WriteOwner);

    // Picking a profile shows its own choice; a new window reads it back the same.
    closeWindow();
    open();
    ASSERT_EQ(combo("cmbName")->currentText(), QStringLiteral("A"));
    EXPECT_EQ(shown(), ftp::TlsMode::IfOffered);
    pick("cmbName", 1);
    EXPECT_EQ(shown(), ftp::TlsMode::Require);
    pick("cmbName", 2);
    EXPECT_EQ(shown(), ftp::TlsMode::Plain);

    // Clear starts a new profile: the default again.
    click("Command15");
    EXPECT_EQ(shown(), ftp::TlsMode::IfOffered);
}

TEST_F(TlsProfilePanelTest, RemoveDropsTheChoiceAndARefusedSaveWritesNone)
{
    writeFile(connectFile(), recA + recB);
    open();
    pick("cmbName", 1);
    choose(ftp::TlsMode::Plain);
    click("Command1");
    ASSERT_EQ(stored(QStringLiteral("B")), ftp::TlsMode::Plain);

    prompter.queueAnswer(true);
    click("Command2");
    EXPECT_EQ(readFile(connectFile()), recA);
    EXPECT_FALSE(readFile(tlsFile()).contains(" B\n")) << readFile(tlsFile()).toStdString();
    // A profile saved again under the removed name starts from the default, not the old choice.
    EXPECT_EQ(stored(QStringLiteral("B")), ftp::TlsMode::IfOffered);

    // connect.dat refuses the name (not storable): its TLS choice is not stored either.
    typeCombo("cmbName", QStringLiteral("Dvořák"));
    choose(ftp::TlsMode::Plain);
    click("Command1");
    EXPECT_EQ(prompter.last().kind, dialogs::ScriptedPrompter::Kind::Warning);
    EXPECT_FALSE(QString::fromUtf8(readFile(tlsFile())).contains(QStringLiteral("Dvořák")));
}

TEST_F(TlsProfilePanelTest, EveryCaptionOfTheFrameStaysWholeAtTheSmallestWindow)
{
    open().show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(window.get()));
    window->resize(window->minimumSizeHint());
    settle();
    QWidget* frame = find<QWidget>("fraConnections");
    for (QWidget* w : frame->findChildren<QWidget*>()) {
        const bool captioned = qobject_cast<QLabel*>(w) || qobject_cast<QCheckBox*>(w)
            || qobject_cast<QPushButton*>(w) || w == tls();
        if (captioned && w->isVisible())
            EXPECT_GE(w->width(), w->minimumSizeHint().width()) << w->objectName().toStdString();
    }
    // The combo is as wide as its longest caption.
    const int longest = tls()->fontMetrics().horizontalAdvance(QStringLiteral("TLS if the server offers it"));
    EXPECT_GT(tls()->width(), longest);
}
