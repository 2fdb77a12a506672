#include "WindowFixture.h"

#include <QCheckBox>
#include <QFileInfo>

using namespace zephra;
using namespace zephra::apptest;
using Kind = dialogs::ScriptedPrompter::Kind;

class ProfilePanelTest : public WindowTest {
protected:
    const QByteArray recA1 = profile("A", "one.example", "u1", "p1", 'N', "21");
    const QByteArray recB = profile("B", "two.example", "u2", "p2", 'Y', "2121");
    const QByteArray recA2 = profile("A", "three.example", "u3", "p3", 'Y', "23");

    void fill(const QString& name, const QString& addr, const QString& user, const QString& pass,
              const QString& port = QStringLiteral("21"))
    {
        typeCombo("cmbName", name);
        type("txtAddr", addr);
        type("txtUser", user);
        type("txtPass", pass);
        type("txtPort", port);
    }
    QString connectFile() const { return file("connect.dat"); }
};

TEST_F(ProfilePanelTest, LoadListsEveryRecordAndTheLastOfTheFirstNameFillsTheFields)
{
    writeFile(connectFile(), recA1 + recB + recA2);
    open();
    QComboBox* names = combo("cmbName");
    ASSERT_EQ(names->count(), 3);
    EXPECT_EQ(names->itemText(2), QStringLiteral("A"));
    EXPECT_EQ(names->currentText(), QStringLiteral("A"));
    EXPECT_EQ(edit("txtAddr")->text(), QStringLiteral("three.example"));
    EXPECT_EQ(edit("txtPort")->text(), QStringLiteral("23"));
    EXPECT_TRUE(find<QCheckBox>("Check1")->isChecked());

    pick("cmbName", 1);
    EXPECT_EQ(edit("txtAddr")->text(), QStringLiteral("two.example"));
    EXPECT_EQ(edit("txtUser")->text(), QStringLiteral("u2"));
    EXPECT_EQ(edit("txtPass")->text(), QStringLiteral("p2"));
    EXPECT_EQ(edit("txtPort")->text(), QStringLiteral("2121"));
    EXPECT_TRUE(find<QCheckBox>("Check1")->isChecked());
}

TEST_F(ProfilePanelTest, SaveOverwritesTheFirstRecordOfTheNameInPlace)
{
    writeFile(connectFile(), recA1 + recB + recA2);
    open();
    fill(QStringLiteral("A"), QStringLiteral("new.example"), QStringLiteral("me"), QStringLiteral("secret"),
         QStringLiteral("990"));
    find<QCheckBox>("Check1")->setChecked(false);
    click("Command1");
    EXPECT_TRUE(prompter.asked().isEmpty());
    EXPECT_EQ(readFile(connectFile()), profile("A", "new.example", "me", "secret", 'N', "990") + recB + recA2);
}

TEST_F(ProfilePanelTest, SaveOfANewNameAppendsButListsItOnlyAfterTheNextLoad)
{
    open();
    fill(QStringLiteral("Work"), QStringLiteral("ftp.example.org"), QStringLiteral("jan"), QStringLiteral("pw"));
    find<QCheckBox>("Check1")->setChecked(true);
    click("Command1");
    EXPECT_EQ(readFile(connectFile()), profile("Work", "ftp.example.org", "jan", "pw", 'Y', "21"));
    EXPECT_EQ(combo("cmbName")->count(), 0);
    EXPECT_EQ(int(QFile::permissions(connectFile()) & 0x0077), 0);
}

TEST_F(ProfilePanelTest, ANameWithTrailingBlanksNeverMatchesItsStoredForm)
{
    open();
    fill(QStringLiteral("Work "), QStringLiteral("h"), QStringLiteral("u"), QStringLiteral("p"));
    click("Command1");
    click("Command1");
    EXPECT_EQ(QFileInfo(connectFile()).size(), 2 * 225);
}

TEST_F(ProfilePanelTest, SaveValidatesBeforeWriting)
{
    writeFile(connectFile(), recB);
    open();
    click("Command15");  // Clear
    click("Command1");
    ASSERT_EQ(prompter.count(), 1);
    EXPECT_EQ(prompter.last().text, QStringLiteral("You must define a name for this connection."));
    EXPECT_EQ(prompter.last().title, QStringLiteral("ZephraFTP"));

    fill(QStringLiteral("X"), QStringLiteral("h"), QStringLiteral("guest"), QString());
    click("Command1");
    EXPECT_EQ(prompter.last().text, QStringLiteral("Missing Data in Address and/or User and/or Password"));
    fill(QStringLiteral("X"), QString(), QStringLiteral("u"), QStringLiteral("p"));
    click("Command1");
    EXPECT_EQ(prompter.last().text, QStringLiteral("Missing Data in Address and/or User and/or Password"));

    for (const char* port : {"0", "abc", "", "-1", "+21", " 21"}) {
        fill(QStringLiteral("X"), QStringLiteral("h"), QStringLiteral("u"), QStringLiteral("p"), QLatin1String(port));
        click("Command1");
        EXPECT_EQ(prompter.last().text, QStringLiteral("The Port must be a number from 1 to 9999.")) << port;
    }
    // A port the four-digit record cannot hold is refused at Save, never stored cut.
    fill(QStringLiteral("X"), QStringLiteral("h"), QStringLiteral("u"), QStringLiteral("p"), QStringLiteral("21000"));
    click("Command1");
    EXPECT_TRUE(prompter.last().text.startsWith(QStringLiteral("The Port must be a number from 1 to 9999")));
    EXPECT_EQ(readFile(connectFile()), recB);

    fill(QStringLiteral("Dvořák"), QStringLiteral("h"), QStringLiteral("u"), QStringLiteral("p"));
    click("Command1");
    EXPECT_EQ(prompter.last().kind, Kind::Warning);
    EXPECT_TRUE(prompter.last().text.contains(QStringLiteral("\"ř\"")));
    EXPECT_EQ(readFile(connectFile()), recB) << "nothing written by a refused save";

    prompter.clear();
    fill(QStringLiteral("Pub"), QStringLiteral("h"), QStringLiteral("ANONYMOUS"), QString());
    click("Command1");
    EXPECT_TRUE(prompter.asked().isEmpty()) << "an empty password is fine for anonymous in any case";
    EXPECT_EQ(readFile(connectFile()), recB + profile("Pub", "h", "ANONYMOUS", "", 'N', "21"));
}

TEST_F(ProfilePanelTest, FieldsHoldNoMoreThanTheirRecordFields)
{
    open();
    const QString longText(120, u'x');
    typeCombo("cmbName", longText);
    EXPECT_EQ(combo("cmbName")->currentText().size(), 80);
    const QList<std::pair<const char*, int>> limits = {{"txtAddr", 80}, {"txtUser", 40}, {"txtPass", 20}, {"txtPort", 5}};
    for (const auto& [name, width] : limits) {
        type(name, longText);
        EXPECT_EQ(edit(name)->text().size(), width) << name;
    }
}

TEST_F(ProfilePanelTest, RemoveAsksAndDropsEveryRecordOfTheName)
{
    writeFile(connectFile(), recA1 + recB + recA2);
    open();
    prompter.queueAnswer(false);
    click("Command2");
    ASSERT_EQ(prompter.count(), 1);
    EXPECT_EQ(prompter.last().kind, Kind::Question);
    EXPECT_EQ(prompter.last().title, QStringLiteral("Remove Confirm"));
    EXPECT_EQ(prompter.last().text, QStringLiteral("Are you sure you want to remove the Connection A?"));
    EXPECT_EQ(readFile(connectFile()), recA1 + recB + recA2);

    prompter.queueAnswer(true);
    click("Command2");
    EXPECT_EQ(readFile(connectFile()), recB);
    EXPECT_FALSE(QFileInfo::exists(file("connect.tmp")));
    EXPECT_EQ(combo("cmbName")->count(), 1);
    EXPECT_EQ(combo("cmbName")->currentText(), QStringLiteral("B"));
    EXPECT_EQ(edit("txtAddr")->text(), QStringLiteral("two.example"));
}

// Guards reuse of a connect.tmp left by an interrupted removal: its old tail would survive.
TEST_F(ProfilePanelTest, RemoveIgnoresALeftoverTempFile)
{
    writeFile(connectFile(), recA1 + recB);
    writeFile(file("connect.tmp"), recA2 + recA2 + recA2);
    open();
    prompter.queueAnswer(true);
    click("Command2");
    EXPECT_EQ(readFile(connectFile()), recB);
}

TEST_F(ProfilePanelTest, ClearAndAnonymous)
{
    writeFile(connectFile(), recB);
    open();
    click("Command16");
    EXPECT_EQ(edit("txtUser")->text(), QStringLiteral("anonymous"));
    EXPECT_TRUE(edit("txtPass")->text().isEmpty());
    EXPECT_EQ(edit("txtAddr")->text(), QStringLiteral("two.example")) << "Anonymous touches user and password only";
    EXPECT_TRUE(find<QCheckBox>("Check1")->isChecked());

    click("Command15");
    EXPECT_TRUE(combo("cmbName")->currentText().isEmpty());
    EXPECT_TRUE(edit("txtAddr")->text().isEmpty());
    EXPECT_TRUE(edit("txtUser")->text().isEmpty());
    EXPECT_EQ(edit("txtPort")->text(), QStringLiteral("21"));
    EXPECT_FALSE(find<QCheckBox>("Check1")->isChecked());
    EXPECT_EQ(readFile(connectFile()), recB);
}

TEST_F(ProfilePanelTest, ADamagedFileIsReportedAndLeftAlone)
{
    const QByteArray damaged = recB + QByteArray("torn");
    writeFile(connectFile(), damaged);
    open();
    ASSERT_EQ(prompter.count(), 1);
    EXPECT_TRUE(prompter.last().text.contains(QStringLiteral("damaged")));
    EXPECT_EQ(combo("cmbName")->count(), 1);
    fill(QStringLiteral("C"), QStringLiteral("h"), QStringLiteral("u"), QStringLiteral("p"));
    click("Command1");
    EXPECT_EQ(prompter.last().kind, Kind::Warning);
    EXPECT_EQ(readFile(connectFile()), damaged);
}
