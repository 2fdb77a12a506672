#include "app/MainWindow.h"

#include "app/ConnectionPanel.h"
#include "app/FileCommands.h"
#include "app/SessionController.h"
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

#include <QApplication>
#include <QCloseEvent>
#include <QCoreApplication>
#include <QComboBox>
#include <QDeadlineTimer>
#include <QDir>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QFrame>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QListView>
#include <QMenu>
#include <QMenuBar>
#include <QProgressBar>
#include <QPushButton>
#include <QSplitter>
#include <QTimer>
#include <QTreeView>
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

QAction* addNamedAction(QMenu* menu, const char* name, const QString& caption)
{
    QAction* action = menu->addAction(caption);
    action->setObjectName(QLatin1String(name));
    return action;
}

// A popup item of a browser's menu, by its name.
QAction* menuItem(QMenu* menu, const char* name)
{
    QAction* action = menu->findChild<QAction*>(QLatin1String(name));
    Q_ASSERT(action);
    return action;
}

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
    layout->addWidget(browsers, 1);

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
    auto* statusRow = new QHBoxLayout;
    statusRow->addWidget(m_lbStat, 1);
    statusRow->addWidget(m_busyBar);
    statusRow->addWidget(m_cancel);
    layout->addLayout(statusRow);
    setCentralWidget(central);

    connect(m_connectionPanel->connectButton(), &QPushButton::clicked, this, &MainWindow::toggleConnection);

    connect(m_keyPanel, &keys::KeyPanel::statusText, this, &MainWindow::setStatus);
    connect(m_keyPanel, &keys::KeyPanel::busyChanged, this, &MainWindow::updateTransferControls);
    connect(m_keyPanel, &keys::KeyPanel::keyspaceAccepted, this, [this] {
        m_keyspaceAccepted = true;
        updateTransferControls();
    });
    connect(m_keyPanel, &keys::KeyPanel::keyspaceLost, this, [this] {
        m_keyspaceAccepted = false;
        updateTransferControls();
    });

    resize(1060, 720);
    startUp();
}

MainWindow::~MainWindow()
{
    shutdown();
}

void MainWindow::buildMenus()
{
    QMenu* file = menuBar()->addMenu(QStringLiteral("File"));
    file->setObjectName(QStringLiteral("fle"));
    connect(addNamedAction(file, "fleext", QStringLiteral("Exit")), &QAction::triggered, this, &QWidget::close);

    QMenu* help = menuBar()->addMenu(QStringLiteral("Help"));
    help->setObjectName(QStringLiteral("hlp"));
    connect(addNamedAction(help, "HelpAbout", QStringLiteral("About")), &QAction::triggered, this, &MainWindow::showAbout);
    help->addSeparator()->setObjectName(QStringLiteral("hlpdiv"));
    connect(addNamedAction(help, "HelpOverview", QStringLiteral("Overview")), &QAction::triggered, this,
            [this] { showHelp(dialogs::kOverviewPage); });
    connect(addNamedAction(help, "hlpkey", QStringLiteral("Key Management")), &QAction::triggered, this,
            [this] { showHelp(dialogs::kKeyPage); });
    connect(addNamedAction(help, "hlpsend", QStringLiteral("Sending and Receiving Files")), &QAction::triggered, this,
            [this] { showHelp(dialogs::kSendPage); });
}

QWidget* MainWindow::buildLocalBrowser()
{
    auto* box = new QFrame(this);
    box->setObjectName(QStringLiteral("fraLocal"));
    m_localBrowser = new browse::LocalBrowser(m_prompter, QDir::homePath(), box);
    m_localBrowser->hide();  // its controls are placed below; the browser keeps their logic
    m_localDirMenu = m_localBrowser->dirMenu();
    m_localFilesMenu = m_localBrowser->filesMenu();

    auto* layout = new QVBoxLayout(box);
    layout->setContentsMargins(0, 0, 0, 0);
    auto* caption = new QLabel(QStringLiteral("Local"), box);
    caption->setObjectName(QStringLiteral("lblLocal"));
    auto* head = new QHBoxLayout;
    head->addWidget(caption);
    head->addWidget(m_localBrowser->driveList(), 1);
    layout->addLayout(head);

    auto* split = new QSplitter(Qt::Vertical, box);
    split->setObjectName(QStringLiteral("splitLocal"));
    split->addWidget(m_localBrowser->directoryTree());
    split->addWidget(m_localBrowser->fileList());
    split->setStretchFactor(0, 1);
    split->setStretchFactor(1, 2);
    layout->addWidget(split, 1);
    // File1 supplies the names of the current directory; ListView1 shows them.
    QWidget* file1 = m_localBrowser->directoryFiles();
    file1->setParent(box);
    file1->hide();
    return box;
}

QWidget* MainWindow::buildServerBrowser()
{
    auto* box = new QFrame(this);
    box->setObjectName(QStringLiteral("fraServer"));
    m_serverBrowser = new browse::ServerBrowser(box);
    m_serverBrowser->hide();  // as for the local browser: its two views are placed below
    m_serverDirMenu = m_serverBrowser->dirMenu();
    m_serverFilesMenu = m_serverBrowser->filesMenu();

    auto* layout = new QVBoxLayout(box);
    layout->setContentsMargins(0, 0, 0, 0);
    auto* caption = new QLabel(QStringLiteral("Server"), box);
    caption->setObjectName(QStringLiteral("lblServer"));
    caption->setMinimumHeight(QComboBox().sizeHint().height());  // level with the local drive row
    layout->addWidget(caption);

    auto* split = new QSplitter(Qt::Vertical, box);
    split->setObjectName(QStringLiteral("splitServer"));
    split->addWidget(m_serverBrowser->tree());
    split->addWidget(m_serverBrowser->fileList());
    split->setStretchFactor(0, 1);
    split->setStretchFactor(1, 2);
    layout->addWidget(split, 1);

    connect(m_serverBrowser, &browse::ServerBrowser::directoryClicked, this,
            [this](const QString&, const QByteArray& name, bool throughLink) {
                m_sessionController->changeDirectory(name, throughLink);
            });
    return box;
}

QWidget* MainWindow::buildTransferFrame()
{
    auto* frame = new QFrame(this);
    frame->setObjectName(QStringLiteral("fraTransfer"));
    frame->setFrameShape(QFrame::StyledPanel);
    auto* layout = new QVBoxLayout(frame);
    layout->addStretch(1);
    auto button = [&](const char* name, const QString& caption, const QString& tip) {
        auto* b = new QPushButton(caption, frame);
        b->setObjectName(QLatin1String(name));
        b->setToolTip(tip);
        layout->addWidget(b);
        return b;
    };
    m_sendNormal = button("Command11", QStringLiteral("===>"), QStringLiteral("Send File Normal"));
    m_sendEncrypted = button("Command12", QStringLiteral("[][][][]=>"), QStringLiteral("Send File Encrypted"));
    layout->addSpacing(16);
    m_receiveNormal = button("Command13", QStringLiteral("<==="), QStringLiteral("Receive File Normal"));
    m_receiveEncrypted = button("Command14", QStringLiteral("<=[][][][]"), QStringLiteral("Receive File Encrypted"));
    layout->addStretch(1);
    frame->setMaximumWidth(frame->sizeHint().width() + 8);
    return frame;
}

void MainWindow::startUp()
{
    // Working files a crash left behind are wiped before anything else.
    (void)m_engine.cleanUp();

    m_connectionPanel->clearForStartUp();

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
        setStatus(QStringLiteral("Connected"));
    });
    connect(m_sessionController, &SessionController::listingChanged, this, [this] {
        loadServerData();
        doReady();
    });
    connect(m_sessionController, &SessionController::disconnected, this, [this] {
        if (m_connected)
            setConnected(false);  // a failed connect keeps an accepted key
        m_serverBrowser->clear();
    });
    connect(m_sessionController, &SessionController::failed, this,
            [this](const QString& message) { m_prompter.warning(this, dialogs::kAppTitle, message); });
    wireCommands();
    doReady();
    updateTransferControls();
}

void MainWindow::wireCommands()
{
    m_fileCommands = new FileCommands(
        FileCommands::Context{this, m_appDir, m_prompter, m_engine, *m_sessionController, *m_localBrowser,
                              *m_serverBrowser, [this] { return m_editorPath; },
                              [this](const QString& text) { setStatus(text); }},
        this);
    FileCommands* commands = m_fileCommands;

    m_localFileSendNormal = menuItem(m_localFilesMenu, "LocalFileSendNormal");
    m_localFilesSendEncrypted = menuItem(m_localFilesMenu, "LocalFilesSendEncrypted");
    m_serverFilesSendNormal = menuItem(m_serverFilesMenu, "ServerFilesSendNormal");
    m_serverFilesSendEncrypted = menuItem(m_serverFilesMenu, "ServerFilesSendEncrypted");
    // Button and menu item of one command run the same sequence.
    const std::pair<QPushButton*, QAction*> transfers[] = {
        {m_sendNormal, m_localFileSendNormal},
        {m_sendEncrypted, m_localFilesSendEncrypted},
        {m_receiveNormal, m_serverFilesSendNormal},
        {m_receiveEncrypted, m_serverFilesSendEncrypted},
    };
    void (FileCommands::*const transferCommands[])() = {&FileCommands::uploadPlain, &FileCommands::uploadEncrypted,
                                                        &FileCommands::downloadPlain, &FileCommands::downloadEncrypted};
    for (int i = 0; i < 4; ++i) {
        connect(transfers[i].first, &QPushButton::clicked, commands, transferCommands[i]);
        connect(transfers[i].second, &QAction::triggered, commands, transferCommands[i]);
    }

    const std::pair<const char*, void (FileCommands::*)()> items[] = {
        {"ServerDirMakeDir", &FileCommands::makeServerDirectory},
        {"ServerDirDelete", &FileCommands::deleteServerDirectory},
        {"ServerDirRename", &FileCommands::renameServerDirectory},
        {"ServerFilesDelete", &FileCommands::deleteServerFiles},
        {"ServerFilesEdit", &FileCommands::editServerFiles},
        {"ServerFilesFilter", &FileCommands::filterServerFiles},
        {"ServerFilesRename", &FileCommands::renameServerFiles},
        {"ServerFilesView", &FileCommands::viewServerFiles},
    };
    for (const auto& [name, command] : items) {
        QAction* action = menuItem(name[6] == 'D' ? m_serverDirMenu : m_serverFilesMenu, name);
        m_serverActions.append(action);
        connect(action, &QAction::triggered, commands, command);
    }
    connect(menuItem(m_localFilesMenu, "LocalFileEdit"), &QAction::triggered, commands, &FileCommands::editLocalFiles);
    connect(menuItem(m_localFilesMenu, "LocalFileView"), &QAction::triggered, commands, &FileCommands::viewLocalFiles);
    connect(menuItem(m_localFilesMenu, "LocalFileFilter"), &QAction::triggered, commands,
            &FileCommands::filterLocalFiles);

    connect(m_cancel, &QPushButton::clicked, this, [this] {
        if (m_fileCommands->isRunning())
            m_fileCommands->cancel();
        else
            m_sessionController->cancel();
    });
    connect(commands, &FileCommands::progress, this, &MainWindow::showProgress);
    connect(commands, &FileCommands::runningChanged, this, [this](bool running) {
        // A transfer's bar is wide enough for its text; a plain wait keeps the small one.
        m_busyBar->setMaximumWidth(running ? 520 : 160);
        m_busyBar->setMinimumWidth(running ? 420 : 0);
        if (!running) {
            m_busyBar->setRange(0, 0);
            m_busyBar->setTextVisible(false);
        }
    });
}

void MainWindow::showProgress(qint64 done, qint64 total, const QString& current, double rate)
{
    const auto megabytes = [](double bytes) { return QString::number(bytes / 1e6, 'f', 1) + QStringLiteral(" MB"); };
    QString text = current + QStringLiteral(": ") + megabytes(double(done));
    if (total > 0) {
        m_busyBar->setRange(0, 1000);
        m_busyBar->setValue(int(std::min<qint64>(1000, done * 1000 / total)));
        text += QStringLiteral(" of ") + megabytes(double(total));
    } else {
        m_busyBar->setRange(0, 0);
    }
    if (rate > 0)
        text += QStringLiteral(", ") + megabytes(rate) + QStringLiteral("/s");
    m_busyBar->setFormat(text);
    m_busyBar->setTextVisible(true);
    m_busyBar->setToolTip(text);
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
    if (!connected)
        m_keyspaceAccepted = false;
    m_connectionPanel->connectButton()->setText(connected ? QStringLiteral("Disconnect") : QStringLiteral("Connect"));
    updateTransferControls();
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
    SessionController::Target target;
    target.name = fields.name;
    target.address = fields.address.trimmed();
    target.port = fields.port;
    target.user = fields.user;
    target.password = fields.password;
    target.useEngine = fields.passive;
    m_sessionController->connectTo(target);
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
    setStatus(QStringLiteral("Refreshing..."));
    m_serverBrowser->setDirectory(directory);
    QString error;
    if (!m_serverBrowser->loadServerDataFromFile(m_sessionController->workFile(), {}, &error))
        m_serverBrowser->showListingFailure(directory, QStringLiteral("The server listing could not be read: ") + error);
}

void MainWindow::setBusy(bool busy)
{
    updateTransferControls();
    m_busyBar->setVisible(busy);
    m_cancel->setVisible(busy);
    m_connectionPanel->connectButton()->setEnabled(!busy);
    if (busy)
        QApplication::setOverrideCursor(Qt::BusyCursor);
    else
        QApplication::restoreOverrideCursor();
}

void MainWindow::updateTransferControls()
{
    // While a connect, listing or command waits for the server, nothing that would use the
    // session can start.
    const bool idle = m_connected && m_sessionController && !m_sessionController->isBusy();
    const bool plain = idle;
    const bool encrypted = idle && m_keyspaceAccepted && !m_keyPanel->isBusy();
    for (QAction* a : std::as_const(m_serverActions))
        a->setEnabled(idle);
    for (QPushButton* b : {m_sendNormal, m_receiveNormal})
        b->setEnabled(plain);
    for (QAction* a : {m_localFileSendNormal, m_serverFilesSendNormal})
        a->setEnabled(plain);
    for (QPushButton* b : {m_sendEncrypted, m_receiveEncrypted})
        b->setEnabled(encrypted);
    for (QAction* a : {m_localFilesSendEncrypted, m_serverFilesSendEncrypted})
        a->setEnabled(encrypted);
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
    shutdown();
    event->accept();
}

void MainWindow::shutdown()
{
    if (m_shutDown)
        return;
    m_shutDown = true;
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
}

}  // namespace zephra::app
