#include "WindowFixture.h"

#include "app/KeyInForce.h"
#include "keys/KeyPanel.h"
#include "keys/frmPathSelect.h"

#include <QDir>
#include <QFileInfo>
#include <QLabel>
#include <QListWidget>
#include <QSignalSpy>

#include <algorithm>
#include <array>
#include <optional>

using namespace zephra;
using namespace zephra::apptest;
using Kind = dialogs::ScriptedPrompter::Kind;

namespace {
const QStringList kWorkingFiles = {"k1.bin", "k1.brs", "k1.bcr", "k2.bin", "k3.bin", "k4.bin", "k5.bin", "k6.dat"};
}

class KeyPanelTest : public WindowTest {
protected:
    QString keyFile() const { return file("key.dat"); }

    // Both encrypted transfer buttons and both encrypted popup items: all on, all off, or mixed.
    std::optional<bool> encrypted() const
    {
        const bool on[] = {button("Command12")->isEnabled(), button("Command14")->isEnabled(),
                           action("LocalFilesSendEncrypted")->isEnabled(), action("ServerFilesSendEncrypted")->isEnabled()};
        return std::all_of(on, on + 4, [&](bool b) { return b == on[0]; }) ? std::optional<bool>(on[0]) : std::nullopt;
    }
    // Accept, then wait (bounded) until the worker has finished.
    void acceptKey(const QString& key)
    {
        type("txtKey", key);
        click("Command10");
        ASSERT_TRUE(QTest::qWaitFor([this] { return !window->keyPanel()->isBusy(); }, 20000));
    }
};

TEST_F(KeyPanelTest, LoadShowsTheFirstStoredKeyAndPickingIsCaseSensitive)
{
    writeFile(keyFile(), keyRecord("Office", "111222333") + keyRecord("office", "444555666")
                             + keyRecord("Office", "777888999"));
    open();
    QComboBox* names = combo("cmbKey");
    ASSERT_EQ(names->count(), 3);
    EXPECT_EQ(names->currentText(), QStringLiteral("Office"));
    EXPECT_EQ(edit("txtKey")->text(), QStringLiteral("111222333"));
    pick("cmbKey", 1);
    EXPECT_EQ(edit("txtKey")->text(), QStringLiteral("444555666"));
    pick("cmbKey", 2);
    EXPECT_EQ(edit("txtKey")->text(), QStringLiteral("111222333")) << "the first record of a name wins";
}

TEST_F(KeyPanelTest, GenerateGivesEighteenDigitsWithNineAsLikelyAsTheOthers)
{
    open();
    std::array<int, 10> counts{};
    constexpr int kKeys = 1000;
    for (int i = 0; i < kKeys; ++i) {
        click("Command4");
        const QString key = edit("txtKey")->text();
        ASSERT_EQ(key.size(), 18);
        for (QChar c : key) {
            ASSERT_TRUE(c >= u'1' && c <= u'9') << key.toStdString();
            ++counts[c.digitValue()];
        }
    }
    // 18000 digits, 2000 expected each; the old rounding gave 9 only about 1060.
    for (int d = 1; d <= 9; ++d) {
        EXPECT_GT(counts[d], 1700) << d;
        EXPECT_LT(counts[d], 2300) << d;
    }
    EXPECT_EQ(combo("cmbKey")->count(), 0) << "generating stores nothing";
    EXPECT_EQ(QFileInfo(keyFile()).size(), 0);
}

// Overwriting a name in any letter case is checked with the key store.
TEST_F(KeyPanelTest, SaveChecksThenAppends)
{
    open();
    click("Command8");
    EXPECT_EQ(prompter.last().text, QStringLiteral("Missing Data.  Enter a Name and a Key or generate one."));
    typeCombo("cmbKey", QStringLiteral("Office"));
    type("txtKey", QStringLiteral("1203"));
    click("Command8");
    EXPECT_EQ(prompter.last().text, QStringLiteral("Key cannot contain a zero.  Change the zero to numeric digit."));
    EXPECT_EQ(QFileInfo(keyFile()).size(), 0);

    type("txtKey", QStringLiteral("123456789123456789"));
    click("Command8");
    EXPECT_EQ(prompter.last().kind, Kind::Information);
    EXPECT_EQ(prompter.last().title, QStringLiteral("ZephraFTP"));
    EXPECT_EQ(prompter.last().text, QStringLiteral("Key Saved"));
    typeCombo("cmbKey", QStringLiteral("home"));
    type("txtKey", QStringLiteral("abc"));  // letters pass the Save checks
    click("Command8");
    EXPECT_EQ(readFile(keyFile()), keyRecord("Office", "123456789123456789") + keyRecord("home", "abc"));
    // The list shows both saved names at once; the fields keep what was saved.
    EXPECT_EQ(combo("cmbKey")->count(), 2);
    EXPECT_EQ(combo("cmbKey")->itemText(1), QStringLiteral("home"));
    EXPECT_EQ(combo("cmbKey")->currentText(), QStringLiteral("home"));
    EXPECT_EQ(edit("txtKey")->text(), QStringLiteral("abc"));
}

TEST_F(KeyPanelTest, RemoveAsksThenDropsEveryRecordOfTheExactName)
{
    writeFile(keyFile(), keyRecord("a", "1") + keyRecord("b", "2") + keyRecord("a", "3") + keyRecord("A", "4"));
    open();
    prompter.queueAnswer(false);
    click("Command9");
    EXPECT_EQ(prompter.last().title, QStringLiteral("Remove Confirm"));
    EXPECT_EQ(prompter.last().text, QStringLiteral("Are you sure you want to remove the Key a?"));
    EXPECT_EQ(QFileInfo(keyFile()).size(), 4 * 58);

    prompter.queueAnswer(true);
    click("Command9");
    EXPECT_EQ(readFile(keyFile()), keyRecord("b", "2") + keyRecord("A", "4"));
    EXPECT_EQ(combo("cmbKey")->count(), 2);
    EXPECT_EQ(combo("cmbKey")->currentText(), QStringLiteral("b"));
    EXPECT_EQ(edit("txtKey")->text(), QStringLiteral("2"));

    prompter.clear();
    typeCombo("cmbKey", QString());
    click("Command9");
    EXPECT_TRUE(prompter.asked().isEmpty()) << "an empty name asks nothing";
}

TEST_F(KeyPanelTest, AcceptRefusesEmptyAndUnusableKeysBeforeWritingAnything)
{
    open();
    click("Command10");
    EXPECT_EQ(prompter.last().text, QStringLiteral("Missing Key.  Enter a Key or generate one."));
    type("txtKey", QStringLiteral("00123"));
    click("Command10");
    EXPECT_TRUE(prompter.last().text.startsWith(QStringLiteral("Key cannot be accepted.  ")));
    for (const QString& name : kWorkingFiles)
        EXPECT_FALSE(QFileInfo::exists(appDir + name)) << name.toStdString();
    EXPECT_EQ(status(), QStringLiteral("Ready..."));
}

TEST_F(KeyPanelTest, AcceptBuildsTheKeyspaceAndEnablesEncryptedTransfersWhileConnected)
{
    open();
    QSignalSpy statusTexts(window->keyPanel(), &keys::KeyPanel::statusText);
    acceptKey(QStringLiteral("123456789123456789"));
    ASSERT_EQ(statusTexts.count(), 2);
    EXPECT_EQ(statusTexts.at(0).at(0).toString(), QStringLiteral("Creating Keyspace..."));
    EXPECT_EQ(statusTexts.at(1).at(0).toString(), QStringLiteral("Ready..."));
    EXPECT_TRUE(prompter.asked().isEmpty()) << (prompter.asked().isEmpty() ? "" : prompter.last().text.toStdString());
    EXPECT_TRUE(engine->hasKeyspace());  // the working files themselves are checked with the engine
    EXPECT_EQ(encrypted(), false) << "no session to send through yet";

    window->setConnected(true);  // the plain controls are checked with a real connection
    EXPECT_EQ(encrypted(), true);
    window->setConnected(false);
    EXPECT_EQ(encrypted(), false);
    window->setConnected(true);
    EXPECT_EQ(encrypted(), false) << "connecting again does not bring them back";
    acceptKey(QStringLiteral("987654321"));
    EXPECT_EQ(encrypted(), true);
}

TEST_F(KeyPanelTest, TransferRestoreAndDeleteThroughThePathDialog)
{
    const QByteArray store = keyRecord("Office", "123456789123456789");
    writeFile(keyFile(), store);
    QTemporaryDir media;
    ASSERT_TRUE(QDir(media.path()).mkdir(QStringLiteral("stick")));
    open().show();
    window->keyPanel()->setPathStartDirectory(media.path());
    if (QDialog* notice = waitForDialog("frmNotice"))
        notice->close();

    const auto pathDialog = [this](const char* command) {
        click(command);
        return static_cast<keys::frmPathSelect*>(waitForDialog("frmPathSelect"));
    };
    const auto press = [](QDialog* d, const char* name) {
        QTest::mouseClick(d->findChild<QPushButton*>(QLatin1String(name)), Qt::LeftButton);
    };

    // Cancel copies nothing and says nothing.
    keys::frmPathSelect* dialog = pathDialog("Command5");
    ASSERT_NE(dialog, nullptr);
    EXPECT_EQ(dialog->windowTitle(), QStringLiteral("Select Path to Transfer Key File To"));
    press(dialog, "Command2");
    EXPECT_TRUE(prompter.asked().isEmpty());

    // Open "stick" in Dir1, Set: the store is copied there.
    ASSERT_NE(dialog = pathDialog("Command5"), nullptr);
    auto* dirs = dialog->findChild<QListWidget*>(QStringLiteral("Dir1"));
    const QList<QListWidgetItem*> stick = dirs->findItems(QStringLiteral("stick"), Qt::MatchExactly);
    ASSERT_EQ(stick.size(), 1);
    emit dirs->itemActivated(stick.first());
    press(dialog, "Command1");
    EXPECT_EQ(prompter.last().text, QStringLiteral("Keys Transferred."));
    EXPECT_EQ(readFile(media.filePath(QStringLiteral("stick/key.dat"))), store);

    // Delete: No keeps the store, Yes leaves none.
    prompter.queueAnswer(false);
    click("Command6");
    EXPECT_EQ(prompter.last().title, QStringLiteral("Key Delete Confirm"));
    EXPECT_EQ(prompter.last().text, QStringLiteral("Please make certain that you transfer the key file before deleting "
                                                   "it.  Are you sure you want to delete the Key File?"));
    EXPECT_EQ(readFile(keyFile()), store);
    prompter.queueAnswer(true);
    click("Command6");
    EXPECT_EQ(prompter.last().text, QStringLiteral("Key File is deleted.  No Cryptions are now possible."));
    EXPECT_FALSE(QFileInfo::exists(keyFile()));

    // Restore from the stick; the names are listed at once.
    ASSERT_NE(dialog = pathDialog("Command7"), nullptr);
    EXPECT_EQ(dialog->windowTitle(), QStringLiteral("Select Path to Restore Key File From"));
    dialog->setCurrentDirectory(media.filePath(QStringLiteral("stick")));
    press(dialog, "Command1");
    EXPECT_EQ(prompter.last().text, QStringLiteral("Keys Restored."));
    EXPECT_EQ(readFile(keyFile()), store);
    EXPECT_EQ(combo("cmbKey")->currentText(), QStringLiteral("Office"));
}

TEST(frmPathSelect, KeyPathEndsWithOneSeparator)
{
    using keys::frmPathSelect;
    EXPECT_EQ(frmPathSelect::withSeparator(QStringLiteral("/")), QStringLiteral("/"));
    EXPECT_EQ(frmPathSelect::withSeparator(QStringLiteral("/media/stick")), QStringLiteral("/media/stick/"));
    QTemporaryDir dir;
    frmPathSelect dialog(frmPathSelect::Mode::Restore, dir.path());
    EXPECT_EQ(dialog.keyPath(), dir.path() + u'/') << "set on load";
    dialog.show();
    dialog.close();  // the close box cancels
    EXPECT_TRUE(dialog.keyPath().isEmpty());
}

// Guards the fault where encryption used the last accepted key whatever the panel showed.
TEST_F(KeyPanelTest, TheKeyInForceIsShownAndAnotherShownKeyTurnsEncryptionOffUntilAccept)
{
    writeFile(keyFile(), keyRecord("team key", "111222333444555666") + keyRecord("other key", "777888999111222333"));
    open();
    window->setConnected(true);
    const auto shown = [this] { return find<QLabel>("lblKeyInForce")->text(); };
    EXPECT_EQ(shown(), QStringLiteral("No key accepted"));

    click("Command10");  // "team key" is shown first
    ASSERT_TRUE(QTest::qWaitFor([this] { return !window->keyPanel()->isBusy(); }, 20000));
    EXPECT_EQ(shown(), QStringLiteral("Key in force: team key"));
    EXPECT_EQ(encrypted(), true);

    pick("cmbKey", 1);
    EXPECT_EQ(edit("txtKey")->text(), QStringLiteral("777888999111222333"));
    EXPECT_EQ(encrypted(), false) << "the shown key is not the one the keyspace was built from";
    EXPECT_EQ(shown(), QStringLiteral("Key in force: team key"));
    EXPECT_FALSE(window->encryptionAllowed());
    pick("cmbKey", 0);
    EXPECT_EQ(encrypted(), true) << "back to the accepted key";
    click("Command4");  // Generate Key
    EXPECT_EQ(encrypted(), false);

    pick("cmbKey", 1);
    click("Command10");
    ASSERT_TRUE(QTest::qWaitFor([this] { return !window->keyPanel()->isBusy(); }, 20000));
    EXPECT_EQ(shown(), QStringLiteral("Key in force: other key"));
    EXPECT_EQ(encrypted(), true);

    // A typed key, and a stored name beside a key it does not hold: both unnamed, four digits.
    acceptKey(QStringLiteral("123456789123456789"));
    EXPECT_EQ(shown(), QStringLiteral("Key in force: unnamed key ending 6789"));
    EXPECT_EQ(combo("cmbKey")->currentText(), QStringLiteral("other key"));
    EXPECT_EQ(encrypted(), true);

    window->setConnected(false);
    EXPECT_EQ(shown(), QStringLiteral("No key accepted")) << "a disconnect forgets the accepted key";
}

TEST(KeyInForceText, NeverGivesTheWholeKeyAway)
{
    const struct {
        const char* name;
        const char* key;
        const char* text;
    } rows[] = {
        {"team key", "111222333444555666", "Key in force: team key"},
        {"", "111222333444555666", "Key in force: unnamed key ending 5666"},
        {"", "12345678", "Key in force: unnamed key ending 5678"},
        {"", "123456", "Key in force: unnamed key ending 456"},
        {"", "1", "Key in force: unnamed key"},
        {"", "", "No key accepted"},
    };
    for (const auto& row : rows)
        EXPECT_EQ(app::keyInForceText(QString::fromUtf8(row.name), QString::fromUtf8(row.key)),
                  QString::fromUtf8(row.text))
            << row.key;
}
