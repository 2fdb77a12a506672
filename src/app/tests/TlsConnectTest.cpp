// FTP over TLS through the real window: the profile's choice, the certificate question and the
// trusted certificates, the plain question, and the status line, against vsftpd and pyftpdlib
// set up for TLS with a certificate made at test time, on both routes.

#include "ConnectFixture.h"
#include "app/ActivityPanes.h"
#include "app/LogPane.h"

#include "FtpTestServers.h"
#include "app/CertificateTrustStore.h"
#include "app/TlsConnectFlow.h"
#include "app/TlsLockLabel.h"
#include "keys/KeyPanel.h"

#include <QDir>
#include <QSignalSpy>

#include <optional>

namespace zephra::apptest {
namespace {

using Kind = dialogs::ScriptedPrompter::Kind;

constexpr auto kKey = "271828182845904523";
const QString kAlways = QStringLiteral("Trust this certificate always");
const QString kSession = QStringLiteral("Trust it for this session");

std::string routeName(const ::testing::TestParamInfo<bool>& info) { return info.param ? "engine" : "direct"; }

class TlsConnectTest : public ConnectTest, public ::testing::WithParamInterface<bool> {
protected:
    void SetUp() override
    {
        ConnectTest::SetUp();
        ASSERT_TRUE(local.isValid() && other.isValid());
    }

    // Starts the server or skips the test where it cannot run here.
    bool startServer(test::FtpTestServer& server)
    {
        if (server.start())
            return true;
        skipReason = server.errorString();
        return false;
    }

    void connectWith(test::FtpTestServer& server, ftp::TlsMode tls)
    {
        fill(server.host(), server.port(), server.user(), server.password(), GetParam(), tls);
        click("Command3");
        // The flow asks once the session's report has returned, and may connect again.
        auto* flow = window->findChild<app::TlsConnectFlow*>(QStringLiteral("TlsConnectFlow"));
        ASSERT_NE(flow, nullptr);
        ASSERT_TRUE(QTest::qWaitFor([&] { return !controller()->isBusy() && !flow->isPending(); }, 30000));
    }

    QList<dialogs::ScriptedPrompter::Asked> asked(Kind kind) const
    {
        QList<dialogs::ScriptedPrompter::Asked> out;
        for (const auto& a : prompter.asked())
            if (a.kind == kind)
                out.append(a);
        return out;
    }
    QString lockText() const { return find<app::TlsLockLabel>("fraTls")->text(); }
    bool lockShown() const { return find<app::TlsLockLabel>("fraTls")->isVisible(); }
    QString trustFile() const { return file("trusted-certs.dat"); }

    void disconnectNow()
    {
        ASSERT_EQ(caption(), "Disconnect");
        ASSERT_TRUE(clickAndSettle());
        ASSERT_EQ(caption(), "Connect");
    }

    void acceptKey()
    {
        type("txtKey", QString::fromLatin1(kKey));
        click("Command10");
        ASSERT_TRUE(QTest::qWaitFor([this] { return !window->keyPanel()->isBusy(); }, 20000));
        ASSERT_TRUE(button("Command12")->isEnabled());
    }
    void run(const char* buttonName)
    {
        click(buttonName);
        const bool ok = settled();
        if (!ok) {
            window->activityPanes()->logPane()->flush();
            qWarning().noquote() << "The protocol log when the command did not end:\n" << window->activityPanes()->logPane()->lines().join(u'\n') << "\nStatus line:" << status();
        }
        ASSERT_TRUE(ok);
    }
    void trigger(const char* actionName)
    {
        ASSERT_TRUE(action(actionName)->isEnabled()) << actionName;
        action(actionName)->trigger();
        ASSERT_TRUE(settled());
    }

    QTemporaryDir local, other;
    QString skipReason;
};

test::FtpServerSetup tlsRequired()
{
    test::FtpServerSetup setup;
    setup.tls = test::TlsSetup::ExplicitRequired;
    return setup;
}

}  // namespace

// A new user ticks nothing, is asked about the certificate once, trusts it, then browses and
// moves files over TLS; the next connect, and the next window, ask nothing.
TEST_P(TlsConnectTest, ANewUserTrustsTheCertificateOnceThenBrowsesAndTransfersOverTls)
{
    test::VsftpdServer server(tlsRequired());
    if (!startServer(server))
        GTEST_SKIP() << skipReason.toStdString();
    writeFile(server.rootDir() + "/pub.txt", "served over TLS\n");
    showWindow();
    window->localBrowser()->setPath(local.path());
    EXPECT_EQ(combo("cboTls")->currentData().toInt(), int(ftp::TlsMode::IfOffered)) << "the default";

    prompter.queueChoice(kAlways);
    connectWith(server, ftp::TlsMode::IfOffered);
    ASSERT_EQ(caption(), "Disconnect") << promptTexts().toStdString();
    const auto choices = asked(Kind::Choice);
    ASSERT_EQ(choices.size(), 1);
    EXPECT_EQ(choices[0].buttons, app::TlsConnectFlow::certificateButtons());
    const QString fingerprint = QString::fromLatin1(server.certificateSha256().toHex(':').toUpper());
    for (const QString& part : {QStringLiteral("Subject: "), QStringLiteral("Issuer: "), QStringLiteral("Valid from "),
                                QStringLiteral("localhost"), fingerprint})
        EXPECT_TRUE(choices[0].details.contains(part)) << part.toStdString() << " in " << choices[0].details.toStdString();
    EXPECT_TRUE(choices[0].text.contains(QStringLiteral("127.0.0.1:%1").arg(server.port())));
    EXPECT_EQ(prompter.count(), 1) << promptTexts().toStdString();
    EXPECT_EQ(status(), "Connected (TLS)");
    EXPECT_TRUE(lockShown());
    EXPECT_EQ(lockText(), "TLS");
    EXPECT_TRUE(controller()->isTlsActive());
    EXPECT_TRUE(listNames().contains("pub.txt"));
    EXPECT_TRUE(readFile(trustFile()).contains(fingerprint.toLatin1() + QByteArray(" 127.0.0.1:")
                                               + QByteArray::number(server.port())));
    EXPECT_EQ(QFile::permissions(trustFile()) & ~(QFileDevice::ReadUser | QFileDevice::WriteUser | QFileDevice::ExeUser),
              QFileDevice::ReadOwner | QFileDevice::WriteOwner);

    // Plain files, up and down, over the TLS data connections the server insists resume the
    // control connection's session.
    const QByteArray plain = "as it is\n" + QByteArray(300 * 1024, 'p');
    writeFile(local.filePath("plain.txt"), plain);
    select("ListView1", {"plain.txt"});
    trigger("LocalFileSendNormal");
    EXPECT_TRUE(readFile(server.rootDir() + "/plain.txt") == plain);
    window->localBrowser()->setPath(other.path());
    select("ListView2", {"pub.txt", "plain.txt"});
    trigger("ServerFilesSendNormal");
    EXPECT_EQ(readFile(other.filePath("pub.txt")), "served over TLS\n");
    EXPECT_TRUE(readFile(other.filePath("plain.txt")) == plain);
    EXPECT_EQ(prompter.count(), 1) << promptTexts().toStdString();
    EXPECT_TRUE(lockShown()) << "the padlock stays while the status line moves on";

    // The next connect, and the next window, ask nothing.
    disconnectNow();
    EXPECT_FALSE(lockShown());
    connectWith(server, ftp::TlsMode::IfOffered);
    EXPECT_EQ(caption(), "Disconnect") << promptTexts().toStdString();
    disconnectNow();
    closeWindow();
    showWindow();
    connectWith(server, ftp::TlsMode::Require);
    EXPECT_EQ(caption(), "Disconnect") << promptTexts().toStdString();
    EXPECT_EQ(status(), "Connected (TLS)");
    EXPECT_EQ(prompter.count(), 1) << promptTexts().toStdString();
}

// Encrypted (rotor) files over TLS, with the certificate trusted before: no question at all.
TEST_P(TlsConnectTest, EncryptedFilesRoundTripOverTls)
{
    test::VsftpdServer server(tlsRequired());
    if (!startServer(server))
        GTEST_SKIP() << skipReason.toStdString();
    ASSERT_TRUE(app::CertificateTrustStore(appDir).trust(server.host(), server.port(), server.certificateSha256()).ok);
    showWindow();
    window->localBrowser()->setPath(local.path());
    connectWith(server, ftp::TlsMode::Require);
    ASSERT_EQ(caption(), "Disconnect") << promptTexts().toStdString();
    ASSERT_TRUE(controller()->isTlsActive());

    const QByteArray secret = QByteArray("rotor over TLS ") + QByteArray(200 * 1024, 'x');
    writeFile(local.filePath("secret.bin"), secret);
    acceptKey();
    select("ListView1", {"secret.bin"});
    run("Command12");
    const QByteArray stored = readFile(server.rootDir() + "/secret.bin");
    EXPECT_EQ(stored.size(), secret.size()) << promptTexts().toStdString();
    EXPECT_TRUE(stored != secret) << "the server holds ciphertext";
    window->localBrowser()->setPath(other.path());
    select("ListView2", {"secret.bin"});
    run("Command14");
    const QByteArray fetched = readFile(other.filePath("secret.bin"));
    EXPECT_TRUE(fetched == secret) << fetched.size() << " bytes";
    EXPECT_TRUE(prompter.asked().isEmpty()) << promptTexts().toStdString();
}

// Guards the one thing an attacker in between would need: a trusted server's certificate that
// changed is refused with a warning, never asked about or taken.
TEST_P(TlsConnectTest, AChangedCertificateIsRefusedWithAWarningNotAQuestion)
{
    test::VsftpdServer server(tlsRequired());
    if (!startServer(server))
        GTEST_SKIP() << skipReason.toStdString();
    // What the store held for this server: another certificate.
    const QByteArray before(32, '\x5A');
    ASSERT_TRUE(app::CertificateTrustStore(appDir).trust(server.host(), server.port(), before).ok);
    const QByteArray storeBefore = readFile(trustFile());
    showWindow();

    prompter.queueChoice(kAlways);  // must stay unused
    connectWith(server, ftp::TlsMode::IfOffered);
    EXPECT_EQ(caption(), "Connect");
    EXPECT_EQ(status(), "Not connected");
    EXPECT_FALSE(lockShown());
    ASSERT_EQ(prompter.count(), 1) << promptTexts().toStdString();
    EXPECT_EQ(prompter.last().kind, Kind::Warning);
    EXPECT_EQ(prompter.last().title, "Certificate changed");
    EXPECT_TRUE(prompter.last().text.contains(QString::fromLatin1(before.toHex(':').toUpper())));
    EXPECT_TRUE(prompter.last().text.contains(QString::fromLatin1(server.certificateSha256().toHex(':').toUpper())));
    EXPECT_EQ(prompter.pendingChoices(), 1);
    EXPECT_EQ(readFile(trustFile()), storeBefore);
}

TEST_P(TlsConnectTest, SessionTrustLastsForTheWindowAndCancelConnectsNothing)
{
    test::VsftpdServer server(tlsRequired());
    if (!startServer(server))
        GTEST_SKIP() << skipReason.toStdString();
    showWindow();

    prompter.queueChoice(QStringLiteral("Cancel"));
    connectWith(server, ftp::TlsMode::Require);
    EXPECT_EQ(caption(), "Connect");
    EXPECT_EQ(prompter.count(), 1);
    EXPECT_EQ(prompter.last().kind, Kind::Choice);

    prompter.queueChoice(kSession);
    connectWith(server, ftp::TlsMode::Require);
    ASSERT_EQ(caption(), "Disconnect") << promptTexts().toStdString();
    EXPECT_EQ(prompter.count(), 2);
    EXPECT_FALSE(QFileInfo::exists(trustFile())) << "nothing stored for a session's trust";
    disconnectNow();
    connectWith(server, ftp::TlsMode::Require);
    EXPECT_EQ(caption(), "Disconnect");
    EXPECT_EQ(prompter.count(), 2) << "trusted for the window's life";
    disconnectNow();

    closeWindow();
    showWindow();
    connectWith(server, ftp::TlsMode::Require);  // no answer queued: the box is closed
    EXPECT_EQ(caption(), "Connect");
    EXPECT_EQ(prompter.count(), 3);
    EXPECT_EQ(prompter.last().kind, Kind::Choice) << "a new window asks again";
}

// pyftpdlib without TLS refuses AUTH TLS and logs every command: "if the server offers it" asks
// before a plain login and No sends no USER; "Require TLS" never asks and never logs in.
TEST_P(TlsConnectTest, APlainServerGetsAPlainLoginOnlyAfterTheUserSaysYes)
{
    test::PyftpdlibServer server;
    if (!startServer(server))
        GTEST_SKIP() << skipReason.toStdString();
    showWindow();
    QSignalSpy statusTexts(controller(), &app::SessionController::statusText);

    struct Row {
        ftp::TlsMode mode;
        std::optional<bool> answer;  // the plain question's, when asked
        bool connected;
    };
    const QList<Row> rows = {
        {ftp::TlsMode::Require, std::nullopt, false},
        {ftp::TlsMode::IfOffered, false, false},
        {ftp::TlsMode::IfOffered, true, true},
    };
    int authCount = 0;
    for (const Row& row : rows) {
        SCOPED_TRACE(int(row.mode));
        prompter.clear();
        if (row.answer)
            prompter.queueAnswer(*row.answer);
        connectWith(server, row.mode);
        ++authCount;
        ASSERT_TRUE(server.waitForLog(QStringLiteral("AUTH"), authCount));  // libcurl may try AUTH SSL first
        ASSERT_EQ(prompter.count(), 1) << promptTexts().toStdString();
        if (row.answer) {
            EXPECT_EQ(prompter.last().kind, Kind::Question);
            EXPECT_TRUE(prompter.last().text.contains(QStringLiteral("does not offer TLS")));
            EXPECT_TRUE(prompter.last().text.contains(QStringLiteral("unencrypted")));
        } else {
            EXPECT_EQ(prompter.last().kind, Kind::Warning);
            EXPECT_TRUE(prompter.last().text.contains(QStringLiteral("neither the user name nor the password")));
        }
        EXPECT_EQ(caption(), row.connected ? "Disconnect" : "Connect");
        EXPECT_EQ(server.log().count(QStringLiteral("<- USER ")), row.connected ? 1 : 0);
    }
    EXPECT_EQ(status(), "Connected");
    EXPECT_EQ(lockText(), "Not encrypted");
    EXPECT_FALSE(controller()->isTlsActive());
    for (const QList<QVariant>& args : std::as_const(statusTexts))
        EXPECT_FALSE(args.at(0).toString().contains(server.password()));
    EXPECT_FALSE(status().contains(server.password()));
}

INSTANTIATE_TEST_SUITE_P(Routes, TlsConnectTest, ::testing::Values(true, false), routeName);

}  // namespace zephra::apptest
