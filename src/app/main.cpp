// Parses the options, builds the objects the window needs, wires them and shows the window.

#include "app/InstanceLock.h"
#include "app/MainWindow.h"
#include "app/ShutdownSignals.h"
#include "crypto/Engine.h"
#include "dialogs/Prompter.h"
#include "keys/AppDir.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QIcon>
#include <QMessageBox>
#include <QTextStream>

#include <cstdio>

int main(int argc, char** argv)
{
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("ZephraFTP"));
    QApplication::setApplicationVersion(QStringLiteral(PROJECT_VERSION_TEXT));
    // The installed desktop entry and icon theme name the program; the built-in picture serves a
    // program run from its build directory.
    QApplication::setDesktopFileName(QStringLiteral("org.zephraftp.ZephraFTP"));
    QApplication::setWindowIcon(QIcon::fromTheme(QStringLiteral("zephraftp"), QIcon(QStringLiteral(":/desktop/zephraftp.png"))));

    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("Zephra Encryption FTP 5"));
    parser.addHelpOption();
    parser.addVersionOption();
    const QCommandLineOption home(QStringLiteral("home"),
                                  QStringLiteral("Keep the program's data in DIR (default: $ZEPHRAFTP_HOME, "
                                                 "else the per-user data directory)."),
                                  QStringLiteral("DIR"));
    parser.addOption(home);
    parser.process(app);

    QString error;
    const auto appDir = zephra::keys::resolveAppDir(parser.value(home), &error);
    if (!appDir) {
        QMessageBox::critical(nullptr, QStringLiteral("ZephraFTP"), error);
        return 1;
    }

    zephra::dialogs::MessageBoxPrompter prompter;
    // Before anything touches the data directory: a second window on it ends here.
    zephra::app::InstanceLock lock(*appDir);
    QTextStream errors(stderr);
    if (!lock.tryLock(prompter, errors))
        return 1;
    zephra::crypto::Engine engine(appDir->toStdU16String());
    zephra::app::MainWindow window({*appDir, prompter, engine});
    zephra::app::ShutdownSignals termination;
    QObject::connect(&termination, &zephra::app::ShutdownSignals::requested, &window, &QWidget::close);
    QObject::connect(&app, &QCoreApplication::aboutToQuit, &window, &zephra::app::MainWindow::shutdown);
    window.show();
    window.activateWindow();
    return QApplication::exec();
}
