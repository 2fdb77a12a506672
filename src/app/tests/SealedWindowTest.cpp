// The sealed format through the real window: the key panel's Format choice (remembered across a
// restart, key.dat untouched), the master key made on Accept off the UI thread and wiped with the
// key, and sealed transfers against vsftpd and pyftpdlib on both routes: the server holds only
// sealed bytes, downloads tell the formats apart, and a wrong key, damage or a cut-short file is
// reported while the local file stays as it was.

#include "ConnectFixture.h"

#include "FtpTestServers.h"
#include "crypto/sealed/KeyRing.h"
#include "crypto/sealed/SealedFiles.h"
#include "keys/KeyPanel.h"
#include "keys/Settings.h"

#include <QDir>

namespace zephra::apptest {
namespace {

namespace sealed = crypto::sealed;
using Format = keys::KeyPanel::FileFormat;

constexpr auto kKey = "271828182845904523";
const QByteArray kMagic("\x89ZSF\r\n\x1a\n", 8);
qint64 sealedSize(qint64 plain) { return 88 + plain + 16 * (plain / 65536 + 1); }

// Picks a format as a user does: the combo's activation.
void chooseFormat(QComboBox* combo, Format format)
{
    const int index = format == Format::Sealed ? 1 : 0;
    combo->setCurrentIndex(index);
    emit combo->activated(index);
}

TEST_F(WindowTest, FormatChoiceIsRememberedAndKeyDatStaysAsItWas)
{
    writeFile(file("opt.dne"), "Done\r\n");
    writeFile(file("key.dat"), keyRecord("Office", "123456789"));
    open();
    QComboBox* format = combo("cmbFormat");
    EXPECT_EQ(format->currentText(), "Compatible (version 5)") << "the default: partners on earlier versions";
    EXPECT_EQ(format->count(), 2);
    EXPECT_EQ(format->itemText(1), "Sealed (recommended)");
    EXPECT_TRUE(format->toolTip().contains("wrong key") && format->toolTip().contains("Both sides need this version"))
        << format->toolTip().toStdString();

    chooseFormat(format, Format::Sealed);
    EXPECT_EQ(keys::Settings(appDir).value(keys::settings::kFileFormat).toString(), "sealed");
    closeWindow();
    open();
    EXPECT_EQ(combo("cmbFormat")->currentText(), "Sealed (recommended)");
    EXPECT_EQ(window->keyPanel()->fileFormat(), Format::Sealed);
    chooseFormat(combo("cmbFormat"), Format::Compatible);
    closeWindow();
    open();
    EXPECT_EQ(window->keyPanel()->fileFormat(), Format::Compatible);
    EXPECT_EQ(readFile(file("key.dat")), keyRecord("Office", "123456789"));
    EXPECT_TRUE(prompter.asked().isEmpty());
}

// Accept returns at once; the master key exists only once the worker is done, and goes with a
// disconnect (the accepted key is released then).
TEST_F(WindowTest, AcceptMakesTheMasterKeyOffTheUiThread)
{
    writeFile(file("opt.dne"), "Done\r\n");
    open().show();
    keys::KeyPanel* panel = window->keyPanel();
    type("txtKey", QString::fromLatin1(kKey));
    click("Command10");
    EXPECT_TRUE(panel->isBusy()) << "the key is made on a worker; the click has returned";
    EXPECT_EQ(panel->sealedKeys(), nullptr);
    ASSERT_TRUE(QTest::qWaitFor([panel] { return !panel->isBusy(); }, 20000));
    ASSERT_NE(panel->sealedKeys(), nullptr);
    EXPECT_TRUE(panel->sealedKeys()->holds(sealed::kDefaultKdf));
    std::weak_ptr<sealed::KeyRing> ring = panel->sealedKeys();
    panel->releaseKey();
    EXPECT_TRUE(ring.expired()) << "nothing else holds the key";
}

struct RouteCase {
    const char* server;
    bool passive;  // ticked: the engine route
};

class SealedTransfers : public ConnectTest, public ::testing::WithParamInterface<RouteCase> {
protected:
    void SetUp() override
    {
        ConnectTest::SetUp();
        ASSERT_TRUE(local.isValid() && other.isValid() && scratch.isValid());
        server = test::makeFtpTestServer(QString::fromLatin1(GetParam().server));
        if (!server->start())
            GTEST_SKIP() << server->errorString().toStdString();
        showWindow();
        window->localBrowser()->setPath(local.path());
        fill(server->host(), server->port(), server->user(), server->password(), GetParam().passive);
        click("Command3");
        ASSERT_TRUE(settled());
        ASSERT_EQ(caption(), "Disconnect") << promptTexts().toStdString();
        chooseFormat(combo("cmbFormat"), Format::Sealed);
        type("txtKey", QString::fromLatin1(kKey));
        click("Command10");
        ASSERT_TRUE(QTest::qWaitFor([this] { return !window->keyPanel()->isBusy(); }, 20000));
        ASSERT_TRUE(button("Command12")->isEnabled());
    }

    void run(const char* buttonName)
    {
        click(buttonName);
        ASSERT_TRUE(settled());
    }
    void refreshServerList()
    {
        controller()->refreshListing();
        ASSERT_TRUE(settled());
    }
    QString remote(const QString& name) const { return server->rootDir() + u'/' + name; }

    // name sealed with keyText by the file command's code, placed on the server.
    void putSealed(const QString& name, const QByteArray& plain, const char* keyText)
    {
        std::unique_ptr<sealed::MasterKey> master;
        ASSERT_TRUE(sealed::MasterKey::derive(keyText, sealed::kDefaultKdf, master).ok());
        writeFile(scratch.filePath("plain"), plain);
        ASSERT_TRUE(sealed::sealFile(*master, scratch.filePath("plain").toStdString(), remote(name).toStdString()).ok());
    }

    QTemporaryDir local, other, scratch;
    std::unique_ptr<test::FtpTestServer> server;
};

}  // namespace

TEST_P(SealedTransfers, SealedRoundTripAndCompatibleFilesStillDecrypt)
{
    const QStringList files{"a.txt", "b c.bin", "empty"};
    const QList<QByteArray> contents{"alpha\r\n", test::pattern(3 * 1024 * 1024 + 5), QByteArray()};
    for (int i = 0; i < files.size(); ++i)
        writeFile(local.filePath(files[i]), contents[i]);
    select("ListView1", files);
    run("Command12");
    EXPECT_TRUE(prompter.asked().isEmpty()) << promptTexts().toStdString();
    for (int i = 0; i < files.size(); ++i) {
        const QByteArray onServer = readFile(remote(files[i]));
        EXPECT_TRUE(onServer.startsWith(kMagic)) << files[i].toStdString();
        EXPECT_EQ(onServer.size(), sealedSize(contents[i].size())) << files[i].toStdString();
    }
    EXPECT_FALSE(readFile(remote("b c.bin")).contains(contents[1].mid(1000000, 32))) << "plaintext on the server";

    // A file of the compatible format on the server, as an earlier version sends it.
    crypto::Engine reference(scratch.filePath("keys").toStdString());
    ASSERT_TRUE(QDir().mkpath(scratch.filePath("keys")));
    ASSERT_TRUE(reference.createKeyspace(kKey).ok());
    writeFile(scratch.filePath("old"), "sent by version 5");
    ASSERT_TRUE(reference.encryptFile(scratch.filePath("old").toStdString(), remote("old.txt").toStdString()).ok());
    refreshServerList();

    window->localBrowser()->setPath(other.path());
    writeFile(other.filePath("a.txt"), "older local copy, longer than the new one");
    // A download that broke off: resumed, its first bytes stay and the rest is checked and added.
    writeFile(other.filePath("b c.bin"), contents[1].left(100000));
    prompter.queueChoice("Overwrite");  // a.txt
    prompter.queueChoice("Resume");     // b c.bin
    select("ListView2", files + QStringList{"old.txt"});
    run("Command14");
    ASSERT_EQ(prompter.asked().size(), 2) << promptTexts().toStdString();  // the two questions
    for (int i = 0; i < files.size(); ++i)
        EXPECT_TRUE(readFile(other.filePath(files[i])) == contents[i]) << files[i].toStdString();
    EXPECT_EQ(readFile(other.filePath("old.txt")), "sent by version 5");
    EXPECT_TRUE(QDir(other.path()).entryList(QDir::Hidden | QDir::Files).size() == 4) << "no temporary file left";
}

// Resume on a sealed upload that was cut: resealed from the last whole chunk under the header
// on the server, the copy ends as the whole upload sent it; a copy sealed with another key is
// refused and left as it was.
TEST_P(SealedTransfers, ResumeCompletesACutSealedUpload)
{
    const QByteArray plain = test::pattern(5 * 65536 + 999, 6);
    writeFile(local.filePath("cut.bin"), plain);
    select("ListView1", {"cut.bin"});
    run("Command12");
    const QByteArray whole = readFile(remote("cut.bin"));
    ASSERT_EQ(whole.size(), sealedSize(plain.size()));
    // Longer than the plaintext: Resume is still offered, the sealed file is longer yet.
    for (const qint64 cut : {qint64(88 + 2 * 65552 + 100), qint64(whole.size() - 20)}) {
        SCOPED_TRACE(cut);
        writeFile(remote("cut.bin"), whole.left(cut));
        refreshServerList();
        prompter.clear();
        prompter.queueChoice("Resume");
        select("ListView1", {"cut.bin"});
        run("Command12");
        ASSERT_EQ(prompter.asked().size(), 1) << promptTexts().toStdString();  // the question only
        EXPECT_TRUE(readFile(remote("cut.bin")) == whole) << "not the bytes of the whole upload";
    }

    putSealed("other.bin", plain, "987654321");
    const QByteArray foreign = readFile(remote("other.bin")).left(100000);
    writeFile(remote("other.bin"), foreign);
    writeFile(local.filePath("other.bin"), plain);
    refreshServerList();
    prompter.clear();
    prompter.queueChoice("Resume");
    select("ListView1", {"other.bin"});
    run("Command12");
    ASSERT_EQ(prompter.asked().size(), 2) << promptTexts().toStdString();  // the question, the report
    EXPECT_TRUE(prompter.asked().last().text.contains("sealed with another key")) << promptTexts().toStdString();
    EXPECT_TRUE(readFile(remote("other.bin")) == foreign);
}

TEST_P(SealedTransfers, WrongKeyDamageAndTruncationReplaceNothing)
{
    const QByteArray plain = test::pattern(200000, 5);
    putSealed("wrong.bin", plain, "987654321");
    putSealed("good.bin", plain, kKey);
    QByteArray bytes = readFile(remote("good.bin"));
    QByteArray flipped = bytes;
    flipped[100000] = char(flipped[100000] ^ 0x20);  // inside the second chunk
    writeFile(remote("damaged.bin"), flipped);
    writeFile(remote("cut.bin"), bytes.left(88 + 65552));  // ends right after a full chunk
    writeFile(remote("cutinside.bin"), bytes.left(bytes.size() - 1));
    refreshServerList();

    const QStringList names{"cut.bin", "cutinside.bin", "damaged.bin", "wrong.bin"};
    for (const QString& name : names)
        writeFile(local.filePath(name), "the local copy of " + name.toUtf8());
    prompter.queueChoice("Overwrite all");
    select("ListView2", names);
    run("Command14");
    ASSERT_EQ(prompter.asked().size(), 2) << promptTexts().toStdString();  // the question, the report
    const QString report = prompter.asked().last().text;
    EXPECT_TRUE(report.contains("failed for 4 files")) << report.toStdString();
    EXPECT_TRUE(report.contains("wrong.bin: This file was sealed with another key.")) << report.toStdString();
    EXPECT_TRUE(report.contains("damaged.bin: The file is damaged")) << report.toStdString();
    EXPECT_TRUE(report.contains("cut.bin: The file is incomplete")) << report.toStdString();
    EXPECT_TRUE(report.contains("cutinside.bin: The file is damaged, incomplete")) << report.toStdString();
    for (const QString& name : names)
        EXPECT_EQ(readFile(local.filePath(name)), "the local copy of " + name.toUtf8()) << name.toStdString();
    EXPECT_EQ(QDir(local.path()).entryList(QDir::Hidden | QDir::Files).size(), names.size()) << "no temporary file left";
}

INSTANTIATE_TEST_SUITE_P(Routes, SealedTransfers,
                         ::testing::Values(RouteCase{"vsftpd", true}, RouteCase{"vsftpd", false},
                                           RouteCase{"pyftpdlib", true}, RouteCase{"pyftpdlib", false}),
                         [](const auto& info) {
                             return std::string(info.param.server) + (info.param.passive ? "_engine" : "_direct");
                         });

}  // namespace zephra::apptest
