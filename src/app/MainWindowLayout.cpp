// The main window's areas: menus, the local and server browsers and the transfer frame.

#include "app/MainWindow.h"

#include "app/SessionController.h"
#include "browse/LocalBrowser.h"
#include "browse/ServerBrowser.h"
#include "dialogs/HelpPages.h"

#include <QComboBox>
#include <QDir>
#include <QFrame>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QListView>
#include <QMenu>
#include <QMenuBar>
#include <QPushButton>
#include <QSplitter>
#include <QTreeView>
#include <QVBoxLayout>

namespace zephra::app {

namespace {

QAction* addNamedAction(QMenu* menu, const char* name, const QString& caption)
{
    QAction* action = menu->addAction(caption);
    action->setObjectName(QLatin1String(name));
    return action;
}

}  // namespace

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
    // Where the local list is; a path typed here and Enter goes there.
    m_localPath = new QLineEdit(box);
    m_localPath->setObjectName(QStringLiteral("txtLocalPath"));
    m_localPath->setToolTip(QStringLiteral("Local directory: type a path and press Enter to go there"));
    layout->addWidget(m_localPath);

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
    // The directory the session confirmed; a path typed here and Enter asks the server to go there.
    m_serverPath = new QLineEdit(box);
    m_serverPath->setObjectName(QStringLiteral("txtServerPath"));
    m_serverPath->setToolTip(QStringLiteral("Server directory: type a path and press Enter to go there"));
    m_serverPath->setEnabled(false);
    layout->addWidget(m_serverPath);

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

}  // namespace zephra::app
