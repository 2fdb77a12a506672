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

TEST_F(ProfilePanelTest, SaveOverwritesTheFirstRecordOfTheNameOrAppendsUnlisted)
{
    writeFile(connectFile(), recA1 + recB + recA2);
    open();
    fill(QStringLiteral("A"), QStringLiteral("new.example"), QStringLiteral("me"), QStringLiteral("secret"),
         QStringLiteral("990"));
    find<QCheckBox>("Check1")->setChecked(false);
    click("Command1");
    const QByteArray newA = profile("A", "new.example", "me", "secret", 'N', "990");
    EXPECT_EQ(readFile(connectFile()), newA + recB + recA2);

    // A new name is appended and listed at once; a name with trailing blanks
    // never matches its stored (blank-padded) form, so each save appends it again.
    fill(QStringLiteral("Work "), QStringLiteral("h"), QStringLiteral("u"), QStringLiteral("p"));
    find<QCheckBox>("Check1")->setChecked(true);
    click("Command1");
    click("Command1");
    const QByteArray work = profile("Work", "h", "u", "p", 'Y', "21");
    EXPECT_EQ(readFile(connectFile()), newA + recB + recA2 + work + work);
    EXPECT_EQ(combo("cmbName")->count(), 5);
    EXPECT_EQ(combo("cmbName")->currentText(), QStringLiteral("Work ")) << "the fields keep what was saved";
    EXPECT_TRUE(prompter.asked().isEmpty());
}

TEST_F(ProfilePanelTest, SaveValidatesBeforeWriting)
{
    writeFile(connectFile(), recB);
    open();
    click("Command15");  // Clear
    struct Row {
        QString name, addr, user, pass, port, message;
    };
    const QString missing = QStringLiteral("Missing Data in Address and/or User and/or Password");
    const QString badPort = QStringLiteral("The Port must be a number from 1 to 9999");
    const QList<Row> rows = {
        {{}, "h", "u", "p", "21", "You must define a name for this connection."},
        {"X", "h", "guest", {}, "21", missing},
        {"X", {}, "u", "p", "21", missing},
        {"X", "h", "u", "p", "0", badPort}, {"X", "h", "u", "p", "abc", badPort}, {"X", "h", "u", "p", "", badPort},
        {"X", "h", "u", "p", "-1", badPort}, {"X", "h", "u", "p", "+21", badPort}, {"X", "h", "u", "p", " 21", badPort},
        {"X", "h", "u", "p", "21000", badPort},  // the four-digit record cannot hold it: never stored cut
        {"Dvořák", "h", "u", "p", "21", "\"ř\""},  // not storable in Windows-1252
    };
    for (const Row& row : rows) {
        prompter.clear();
        fill(row.name, row.addr, row.user, row.pass, row.port);
        click("Command1");
        ASSERT_EQ(prompter.count(), 1) << row.message.toStdString();
        EXPECT_TRUE(prompter.last().text.contains(row.message)) << prompter.last().text.toStdString();
        EXPECT_EQ(prompter.last().title, QStringLiteral("ZephraFTP"));
    }
    EXPECT_EQ(readFile(connectFile()), recB) << "nothing written by a refused save";

    prompter.clear();
    fill(QStringLiteral("Pub"), QStringLiteral("h"), QStringLiteral("ANONYMOUS"), QString());
    click("Command1");
    EXPECT_TRUE(prompter.asked().isEmpty()) << "an empty password is fine for anonymous in any case";
    EXPECT_EQ(readFile(connectFile()), recB + profile("Pub", "h", "ANONYMOUS", "", 'N', "21"));
}

// Guards values silently cut (or refused) at the record widths: Save names them first.
TEST_F(ProfilePanelTest, SaveNamesTheValuesLongerThanTheRecordBeforeCuttingThem)
{
    writeFile(connectFile(), recB);
    open();
    const QString address = QStringLiteral("ftp.") + QString(96, u'x') + QStringLiteral(".example");
    const QString password = QStringLiteral("correct horse battery staple");
    fill(QStringLiteral("Long"), address, QStringLiteral("u"), password);
    find<QCheckBox>("Check1")->setChecked(false);
    prompter.queueAnswer(false);
    click("Command1");
    ASSERT_EQ(prompter.count(), 1);
    EXPECT_EQ(prompter.last().kind, Kind::Question);
    EXPECT_TRUE(prompter.last().text.contains(QStringLiteral("Address: 108 characters, the first 80 are saved")))
        << prompter.last().text.toStdString();
    EXPECT_TRUE(prompter.last().text.contains(QStringLiteral("Password: 28 characters, the first 20 are saved")));
    EXPECT_FALSE(prompter.last().text.contains(QStringLiteral("User:")));
    EXPECT_EQ(readFile(connectFile()), recB) << "No saves nothing";

    prompter.queueAnswer(true);
    click("Command1");
    EXPECT_EQ(readFile(connectFile()),
              recB + profile("Long", address.left(80).toLatin1().constData(), "u", "correct horse batter", 'N', "21"));
    EXPECT_EQ(edit("txtPass")->text(), password) << "the field keeps the whole value for connecting";

    // A character the file cannot hold is refused as before, without asking about lengths.
    prompter.clear();
    fill(QStringLiteral("Dvořák"), address, QStringLiteral("u"), password);
    click("Command1");
    ASSERT_EQ(prompter.count(), 1);
    EXPECT_EQ(prompter.last().kind, Kind::Warning);
    EXPECT_EQ(QFileInfo(connectFile()).size(), 2 * 225);
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
