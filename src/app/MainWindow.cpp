#include "app/MainWindow.h"

#include "app/ActivityPanes.h"
#include "app/ConnectionPanel.h"
#include "app/FileCommands.h"
#include "app/FileDragDrop.h"
#include "app/SessionController.h"
#include "app/TlsConnectFlow.h"
#include "app/TlsLockLabel.h"
#include "browse/LocalBrowser.h"
#include "browse/ServerBrowser.h"
#include "crypto/Engine.h"
#include "dialogs/AuxWindows.h"
#include "dialogs/HelpPages.h"
#include "dialogs/Prompter.h"
#include "ftp/Connection.h"
#include "keys/AppDir.h"
#include "keys/KeyPanel.h"
#include "keys/RecordFile.h"
#include "keys/Settings.h"

#include <QApplication>
#include <QCloseEvent>
#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QFrame>
#include <QHBoxLayout>
#include <QLabel>
#include <QMenu>
#include <QProgressBar>
#include <QPushButton>
#include <QSplitter>
#include <QTimer>
#include <QVBoxLayout>

namespace zephra::app {

namespace {

#ifdef Q_OS_WIN
constexpr auto kDefaultViewer = "notepad.exe";
constexpr auto kLineEnd = "\r\n";
#else
constexpr auto kDefaultViewer = "xdg-open";
constexpr auto kLineEnd = "\n";
#endif

}  // namespace

MainWindow::MainWindow(Deps deps, QWidget* parent)
    : QMainWindow(parent), m_appDir(std::move(deps.appDir)), m_prompter(deps.prompter), m_engine(deps.engine)
{
    setObjectName(QStringLiteral("frmMain"));
    setWindowTitle(QStringLiteral("Zephra Encryption FTP 5"));

    auto* central = new QWidget(this);
    central->setObjectName(QStringLiteral("central"));
    auto* layout = new QVBoxLayout(central);

    m_connectionPanel = new ConnectionPanel(m_appDir, m_prompter, central);
    m_keyPanel = new keys::KeyPanel(m_appDir, m_prompter, m_engine, central);
    auto* top = new QHBoxLayout;
    top->addWidget(m_connectionPanel, 1);
    top->addWidget(m_keyPanel, 1);
    layout->addLayout(top);

    buildMenus();

    auto* browsers = new QSplitter(Qt::Horizontal, central);
    browsers->setObjectName(QStringLiteral("splitBrowsers"));
    browsers->setChildrenCollapsible(false);
    browsers->addWidget(buildLocalBrowser());
    browsers->addWidget(buildTransferFrame());
    browsers->addWidget(buildServerBrowser());
    browsers->setStretchFactor(0, 1);
    browsers->setStretchFactor(1, 0);
    browsers->setStretchFactor(2, 1);
    m_panes = new ActivityPanes(this);
    layout->addWidget(m_panes->wrap(browsers), 1);

    m_lbStat = new QLabel(central);
    m_lbStat->setObjectName(QStringLiteral("lbStat"));
    m_lbStat->setFrameShape(QFrame::StyledPanel);
    m_lbStat->setFrameShadow(QFrame::Sunken);
    m_lbStat->setTextInteractionFlags(Qt::TextSelectableByMouse);
    // While a connect, disconnect or listing waits for the server: a busy bar and Cancel.
    m_busyBar = new QProgressBar(central);
    m_busyBar->setObjectName(QStringLiteral("prgBusy"));
    m_busyBar->setRange(0, 0);
    m_busyBar->setTextVisible(false);
    m_busyBar->setMaximumWidth(160);
    m_busyBar->hide();
    m_cancel = new QPushButton(QStringLiteral("Cancel"), central);
    m_cancel->setObjectName(QStringLiteral("cmdCancel"));
    m_cancel->hide();
    m_keyInForce = new QLabel(central);
    m_keyInForce->setObjectName(QStringLiteral("lblKeyInForce"));
    m_keyInForce->setFrameShape(QFrame::StyledPanel);
    m_keyInForce->setFrameShadow(QFrame::Sunken);
    auto* statusRow = new QHBoxLayout;
    statusRow->addWidget(m_lbStat, 1);
    m_tlsLock = new TlsLockLabel(central);
    statusRow->addWidget(m_tlsLock);
    statusRow->addWidget(m_keyInForce);
    statusRow->addWidget(m_busyBar);
    statusRow->addWidget(m_cancel);
    layout->addLayout(statusRow);
    setCentralWidget(central);

    connect(m_connectionPanel->connectButton(), &QPushButton::clicked, this, &MainWindow::toggleConnection);

    connect(m_keyPanel, &keys::KeyPanel::statusText, this, &MainWindow::setStatus);
    connect(m_connectionPanel, &ConnectionPanel::statusText, this, &MainWindow::setStatus);
    connect(m_keyPanel, &keys::KeyPanel::busyChanged, this, &MainWindow::updateTransferControls);
    connect(m_keyPanel, &keys::KeyPanel::keyspaceAccepted, this, [this] {
        m_keyspaceAccepted = true;
        updateKeyInForce();
    });
    connect(m_keyPanel, &keys::KeyPanel::keyspaceLost, this, [this] {
        m_keyspaceAccepted = false;
        updateKeyInForce();
    });
    // Picking or typing another key turns encryption off at once, until that key is accepted.
    connect(m_keyPanel, &keys::KeyPanel::shownKeyChanged, this, &MainWindow::updateTransferControls);

    resize(1060, 720);
    startUp();
}

MainWindow::~MainWindow()
{
    shutdown();
}

void MainWindow::startUp()
{
    // Working files a crash left behind are wiped before anything else.
    (void)m_engine.cleanUp();

    m_connectionPanel->clearForStartUp();
    secureDataDirectory();

    const QString tmp = m_appDir + QLatin1String(keys::files::kWorkDir);
    if (QDir().mkdir(tmp))
        keys::setOwnerOnlyDir(tmp);

    readEditorPath();
    (void)dialogs::installHelpPages(m_appDir);  // Help simply shows its error page when missing
    m_connectionPanel->loadConnections();
    m_keyPanel->loadKeys();
    m_ftpEngine = new ftp::Connection(this);
    m_ftpEngine->setObjectName(QStringLiteral("FtpEngine"));
    m_sessionController =
        new SessionController(*m_ftpEngine, m_appDir + QLatin1String(keys::files::kListing), this);
    connect(m_sessionController, &SessionController::statusText, this, &MainWindow::setStatus);
    connect(m_sessionController, &SessionController::busyChanged, this, &MainWindow::setBusy);
    connect(m_sessionController, &SessionController::connected, this, [this] {
        loadServerData();
        setConnected(true);
        const bool tls = m_sessionController->isTlsActive();
        setStatus(tls ? QStringLiteral("Connected (TLS)") : QStringLiteral("Connected"));
        m_tlsLock->showSession(true, tls);
    });
    connect(m_sessionController, &SessionController::listingChanged, this, [this] {
        loadServerData();
        doReady();
    });
    connect(m_sessionController, &SessionController::disconnected, this, [this] {
        if (m_connected)
            setConnected(false);  // a failed connect keeps an accepted key
        m_serverBrowser->clear();
        m_tlsLock->showSession(false, false);
    });
    connect(m_sessionController, &SessionController::failed, this,
            [this](const QString& message) { m_prompter.warning(this, dialogs::kAppTitle, message); });
    m_tlsFlow = new TlsConnectFlow(*m_sessionController, m_prompter, m_appDir, this);
    wireCommands();
    m_panes->attach(*m_sessionController, *m_fileCommands, m_prompter,
                    new FileDragDrop({this, m_prompter, *m_sessionController, *m_fileCommands, *m_localBrowser,
                                      *m_serverBrowser, [this] { return m_sendNormal->isEnabled(); },
                                      [this] { return m_sendEncrypted->isEnabled(); },
                                      [this](const QString& text) { setStatus(text); }},
                                     this));
    wireNavigation();
    restoreRemembered();
    doReady();
    updateKeyInForce();
}

void MainWindow::readEditorPath()
{
    const QString path = m_appDir + QLatin1String(keys::files::kEditorCommand);
    QFile file(path);
    const bool existed = file.exists();
    if (!file.open(QIODevice::ReadWrite))
        return;  // no viewer setting: the default is used
    if (!existed)
        keys::setOwnerOnly(path);
    if (file.size() == 0) {
        file.write(QByteArray(kDefaultViewer) + kLineEnd);
        m_editorPath = QLatin1String(kDefaultViewer);
        return;
    }
    QByteArray line = file.readLine();
    while (line.endsWith('\n') || line.endsWith('\r'))
        line.chop(1);
    m_editorPath = QString::fromLocal8Bit(line);
}

void MainWindow::setStatus(const QString& text)
{
    m_lbStat->setText(text);
    m_lbStat->repaint();
}

void MainWindow::doReady() { setStatus(QStringLiteral("Ready...")); }

void MainWindow::setConnected(bool connected)
{
    m_connected = connected;
    if (!connected) {
        m_keyspaceAccepted = false;
        m_keyPanel->releaseKey();  // the sealed master key is wiped with the accepted key
    }
    m_connectionPanel->connectButton()->setText(connected ? QStringLiteral("Disconnect") : QStringLiteral("Connect"));
    updateKeyInForce();
}

void MainWindow::toggleConnection()
{
    if (m_sessionController->isBusy())
        return;
    if (m_connected) {
        m_sessionController->disconnectFromServer();
        return;
    }
    const ConnectionRecord fields = m_connectionPanel->fields();
    if (fields.address.trimmed().isEmpty()) {
        m_prompter.information(this, dialogs::kAppTitle, QStringLiteral("Enter the Address of the server."));
        return;
    }
    // Refused here, before anything is sent: "0", "70000" or "21a" would reach another port.
    if (SessionController::portNumber(fields.port) == 0) {
        m_prompter.information(this, dialogs::kAppTitle,
                               QStringLiteral("The Port must be a number from 1 to 65535."));
        return;
    }
    m_restoreServerDir = true;
    m_settings->setValue(keys::settings::kLastProfile, fields.name);
    (void)m_settings->save();  // a failure shows nowhere: what is remembered is a convenience
    SessionController::Target target;
    target.name = fields.name;
    target.address = fields.address.trimmed();
    target.port = fields.port;
    target.user = fields.user;
    target.password = fields.password;
    target.useEngine = fields.passive;
    m_tlsFlow->connectTo(target, m_connectionPanel->tlsMode());
}

void MainWindow::loadServerData()
{
    // The rows always belong to the directory the session confirmed; after a failed or
    // cancelled listing that directory is shown empty, with the reason over the list.
    const QByteArray& directory = m_sessionController->directory();
    if (const QString& error = m_sessionController->listingError(); !error.isEmpty()) {
        m_serverBrowser->showListingFailure(directory, error);
        return;
    }
    keys::setOwnerOnly(m_sessionController->workFile());
    setStatus(QStringLiteral("Refreshing..."));
    m_serverBrowser->setDirectory(directory);
    QString error;
    if (!m_serverBrowser->loadServerDataFromFile(m_sessionController->workFile(), {}, &error))
        m_serverBrowser->showListingFailure(directory, QStringLiteral("The server listing could not be read: ") + error);
}

void MainWindow::changeEvent(QEvent* event)
{
    QMainWindow::changeEvent(event);
    if (event->type() == QEvent::ActivationChange && isActiveWindow())
        checkNotice();
}

void MainWindow::showEvent(QShowEvent* event)
{
    QMainWindow::showEvent(event);
    // Without a window manager (or when another program keeps the focus) the window may never
    // become active; the notice is then considered once the window is on the screen.
    QTimer::singleShot(0, this, &MainWindow::checkNotice);
}

void MainWindow::checkNotice()
{
    if (m_noticeChecked)
        return;
    m_noticeChecked = true;
    if (!dialogs::noticeWanted(m_appDir))
        return;
    auto* notice = new dialogs::frmNotice(m_appDir, this);
    notice->setAttribute(Qt::WA_DeleteOnClose);
    notice->open();
}

void MainWindow::showHelp(const QString& page)
{
    auto* browser = new dialogs::frmBrowser(m_appDir, page, this);
    browser->setAttribute(Qt::WA_DeleteOnClose);
    browser->open();
}

void MainWindow::showAbout()
{
    auto* about = new dialogs::frmAbout(this);
    about->setAttribute(Qt::WA_DeleteOnClose);
    about->open();
}

void MainWindow::closeEvent(QCloseEvent* event)
{
    // A running transfer is stopped only when the person says so, and then as Cancel stops it.
    if (!m_shutDown && m_fileCommands && m_fileCommands->isRunning()) {
        if (!m_prompter.question(this, dialogs::kAppTitle, QStringLiteral("A transfer is running. Stop it and quit?"))) {
            event->ignore();
            return;
        }
        m_fileCommands->cancelForQuit();
    }
    shutdown();
    event->accept();
}

void MainWindow::shutdown()
{
    if (m_shutDown)
        return;
    m_shutDown = true;
    remember();
    m_keyPanel->waitUntilIdle();  // the keyspace must not be wiped while it is being written
    delete m_fileCommands;        // a command still running is cancelled; its working copies go
    m_fileCommands = nullptr;
    if (m_ftpEngine->state() != ftp::Connection::State::Disconnected) {
        m_ftpEngine->Disconnect();
        // QUIT leaves through the event loop; let it go out (bounded) before the program ends.
        QEventLoop loop;
        connect(m_ftpEngine, &ftp::Connection::finished, &loop, &QEventLoop::quit);
        QTimer::singleShot(1000, &loop, &QEventLoop::quit);
        loop.exec(QEventLoop::ExcludeUserInputEvents);
        const QDeadlineTimer flush(100);
        while (!flush.hasExpired())
            QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents, 10);
    }
    if (m_sessionController->isBusy())
        QApplication::restoreOverrideCursor();
    m_sessionController->shutdown();
    (void)m_engine.cleanUp();
    const QString decryptWork = m_appDir + QLatin1String(keys::files::kDecryptWork);
    {
        QFile work(decryptWork);
        if (work.open(QIODevice::WriteOnly | QIODevice::Truncate))
            work.close();
    }
    QFile::remove(decryptWork);
    QFile::remove(m_appDir + QLatin1String(keys::files::kListing));
    QFile::remove(m_appDir + QLatin1String(keys::files::kViewCopy));  // a decrypted copy may be in it
}

}  // namespace zephra::app
