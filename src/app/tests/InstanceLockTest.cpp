// One program per data directory: the real program started a second time on a directory whose
// window is open, and after a crash of the first.

#include "WindowFixture.h"

#include "app/InstanceLock.h"
#include "keys/KeyPanel.h"

#include <QDir>
#include <QFileInfo>
#include <QMap>
#include <QProcess>
#include <QTextStream>

#ifndef ZEPHRA_APP_PATH
#error "ZEPHRA_APP_PATH must name the zephraftp executable"
#endif

using namespace zephra;
using namespace zephra::apptest;

namespace {

// Every file of the directory with its bytes.
QMap<QString, QByteArray> snapshot(const QString& dir)
{
    QMap<QString, QByteArray> files;
    for (const QString& name : QDir(dir).entryList(QDir::Files | QDir::Hidden))
        files.insert(name, readFile(dir + name));
    return files;
}

// The window program on this data directory, with no display.
void startProgram(QProcess& process, const QString& appDir)
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    process.setProcessEnvironment(env);
    process.start(QStringLiteral(ZEPHRA_APP_PATH), {QStringLiteral("--home"), appDir});
}

void endProgram(QProcess& process)
{
    process.kill();
    process.waitForFinished(5000);
}

}  // namespace

// Guards a second window wiping the keyspace of the first at its start-up.
TEST_F(WindowTest, ASecondStartOnTheSameDataDirectorySaysSoAndLeavesTheFirstAlone)
{
    writeFile(file("opt.dne"), "Done\r\n");
    app::InstanceLock first(appDir);
    QString firstErrors;
    QTextStream firstStream(&firstErrors);
    ASSERT_TRUE(first.tryLock(prompter, firstStream));
    open();
    type("txtKey", QStringLiteral("123456789123456789"));
    click("Command10");
    ASSERT_TRUE(QTest::qWaitFor([this] { return !window->keyPanel()->isBusy(); }, 20000));
    ASSERT_TRUE(QFileInfo::exists(file("k1.bin")));
    const QMap<QString, QByteArray> before = snapshot(appDir);

    // The second program says why on stderr, then waits on its message box.
    QProcess second;
    startProgram(second, appDir);
    QString secondErrors;
    const bool told = QTest::qWaitFor([&] {
        secondErrors += QString::fromUtf8(second.readAllStandardError());
        return secondErrors.contains(QStringLiteral("already running")) || second.state() == QProcess::NotRunning;
    }, 20000);
    EXPECT_TRUE(told && secondErrors.contains(QStringLiteral("already running with the data directory ") + appDir))
        << secondErrors.toStdString();
    EXPECT_EQ(snapshot(appDir), before);
    endProgram(second);
    EXPECT_EQ(snapshot(appDir), before);
    EXPECT_TRUE(first.isLocked());

    // The same refusal in this process, through the prompter and the error stream.
    app::InstanceLock third(appDir);
    QString errors;
    QTextStream stream(&errors);
    EXPECT_FALSE(third.tryLock(prompter, stream));
    ASSERT_EQ(prompter.count(), 1);
    EXPECT_EQ(prompter.last().kind, dialogs::ScriptedPrompter::Kind::Warning);
    EXPECT_EQ(prompter.last().text, third.message());
    EXPECT_TRUE(third.message().contains(QStringLiteral("(process %1 on ").arg(QCoreApplication::applicationPid())))
        << third.message().toStdString();
    EXPECT_TRUE(third.message().contains(QStringLiteral("--home DIR")));
    EXPECT_EQ(errors.trimmed(), third.message());
    EXPECT_TRUE(firstErrors.isEmpty());
}

TEST_F(WindowTest, ALockLeftByAProgramThatCrashedIsTakenOver)
{
    writeFile(file("opt.dne"), "Done\r\n");
    QProcess crashing;
    startProgram(crashing, appDir);
    // connect.dat is created by the window's start-up, after the lock was taken.
    ASSERT_TRUE(QTest::qWaitFor([&] { return QFileInfo::exists(file("connect.dat")); }, 20000))
        << crashing.readAllStandardError().toStdString();
    endProgram(crashing);
    ASSERT_TRUE(QFileInfo::exists(appDir + QLatin1String(app::InstanceLock::kFileName)));

    app::InstanceLock next(appDir);
    QString errors;
    QTextStream stream(&errors);
    EXPECT_TRUE(next.tryLock(prompter, stream)) << next.message().toStdString();
    EXPECT_TRUE(prompter.asked().isEmpty());
}
