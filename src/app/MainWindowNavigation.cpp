// The main window's navigation: the path fields over both lists, Refresh (F5 and the popup
// items), where focus goes after a command, what the window remembers between runs, and the
// data directory's modes.

#include "app/MainWindow.h"

#include "app/ConnectionPanel.h"
#include "app/FileCommands.h"
#include "app/SessionController.h"
#include "browse/LocalBrowser.h"
#include "browse/ServerBrowser.h"
#include "dialogs/Prompter.h"
#include "ftp/Listing.h"
#include "keys/AppDir.h"
#include "keys/RecordFile.h"
#include "keys/Settings.h"

#include <QAction>
#include <QApplication>
#include <QComboBox>
#include <QDir>
#include <QDirIterator>
#include <QFileInfo>
#include <QLineEdit>
#include <QListView>
#include <QMenu>
#include <QTreeView>

#ifdef Q_OS_UNIX
#include <cerrno>
#include <cstring>
#include <sys/stat.h>
#endif

namespace zephra::app {

void MainWindow::secureDataDirectory()
{
#ifdef Q_OS_UNIX
    // Keys, profiles with passwords and decrypted copies live here: nobody else may look in.
    const QByteArray dir = QFile::encodeName(QDir::cleanPath(m_appDir));
    struct stat st {};
    if (::stat(dir.constData(), &st) == 0 && (st.st_mode & 0077) != 0 && ::chmod(dir.constData(), 0700) != 0) {
        const int error = errno;
        m_prompter.warning(this, dialogs::kAppTitle,
                           QStringLiteral("The data directory %1 cannot be made private (readable by you only): %2.\n"
                                          "Other users of this computer may be able to read your keys and "
                                          "connections there; choose a directory of your own with --home.")
                               .arg(QDir::toNativeSeparators(QDir::cleanPath(m_appDir)),
                                    QString::fromLocal8Bit(std::strerror(error))));
    }
#endif
    // Files an earlier version or another program left readable by others.
    QDirIterator files(m_appDir, QDir::Files | QDir::Hidden | QDir::System, QDirIterator::Subdirectories);
    while (files.hasNext()) {
        const QFileInfo info = files.nextFileInfo();
        if (!info.isSymLink() && (info.permissions() & (QFile::ReadGroup | QFile::ReadOther | QFile::WriteGroup
                                                        | QFile::WriteOther)))
            keys::setOwnerOnly(info.filePath());
    }
}

void MainWindow::wireNavigation()
{
    m_settings = std::make_unique<keys::Settings>(m_appDir);

    connect(m_localPath, &QLineEdit::returnPressed, this, &MainWindow::goToLocalPath);
    connect(m_serverPath, &QLineEdit::returnPressed, this, &MainWindow::goToServerPath);
    connect(m_localBrowser, &browse::LocalBrowser::pathChanged, this, [this](const QString& path) {
        m_localPath->setText(path);
        m_settings->setValue(keys::settings::kLocalDir, QDir::fromNativeSeparators(path));
    });
    m_localPath->setText(m_localBrowser->path());

    // Refresh: a popup item on each side, and F5 for the side the user works in.
    auto* localRefresh = new QAction(QStringLiteral("Refresh"), this);
    localRefresh->setObjectName(QStringLiteral("LocalFilesRefresh"));
    connect(localRefresh, &QAction::triggered, m_localBrowser, &browse::LocalBrowser::refresh);
    auto* serverRefresh = new QAction(QStringLiteral("Refresh"), this);
    serverRefresh->setObjectName(QStringLiteral("ServerFilesRefresh"));
    connect(serverRefresh, &QAction::triggered, this, &MainWindow::refreshServer);
    m_serverActions.append(serverRefresh);
    for (auto [menu, action] : {std::pair{m_localFilesMenu, localRefresh}, std::pair{m_localDirMenu, localRefresh},
                                std::pair{m_serverFilesMenu, serverRefresh}, std::pair{m_serverDirMenu, serverRefresh}}) {
        QAction* before = menu->actions().isEmpty() ? nullptr : menu->actions().constLast();
        // Above the separator and "Exit" that end each popup.
        const QList<QAction*> actions = menu->actions();
        for (QAction* a : actions)
            if (a->isSeparator())
                before = a;
        menu->insertAction(before, action);
    }
    auto* f5 = new QAction(QStringLiteral("Refresh"), this);
    f5->setObjectName(QStringLiteral("actRefresh"));
    f5->setShortcut(QKeySequence::Refresh);
    f5->setShortcutContext(Qt::WindowShortcut);
    addAction(f5);
    connect(f5, &QAction::triggered, this, [this] {
        const bool serverSide = m_commandList
            && (m_commandList == m_serverBrowser->fileList() || m_commandList == m_serverBrowser->tree());
        if (serverSide)
            refreshServer();
        else
            m_localBrowser->refresh();
    });

    // Focus: the list the user worked in last gets it back after every command, so the next
    // keystroke never lands in a field of the connection frame.
    const QList<QWidget*> lists = {m_localBrowser->fileList(), m_localBrowser->directoryTree(),
                                   m_serverBrowser->fileList(), m_serverBrowser->tree()};
    connect(qApp, &QApplication::focusChanged, this, [this, lists](QWidget*, QWidget* now) {
        // While a command runs, focus moves on its own (a control that had it is disabled):
        // only where the user put it counts.
        const bool busy = !m_fileCommands || m_fileCommands->isRunning() || m_sessionController->isBusy();
        if (!busy && lists.contains(now))
            m_commandList = now;
    });
    connect(m_fileCommands, &FileCommands::runningChanged, this, [this](bool running) {
        if (!running)
            restoreCommandFocus();
    });
    connect(m_sessionController, &SessionController::busyChanged, this, [this](bool busy) {
        if (!busy)
            restoreCommandFocus();
    });

    // The server side: the path field shows the confirmed directory; after a connect the
    // remembered directory is tried once, quietly.
    connect(m_sessionController, &SessionController::connected, this, [this] {
        m_serverPath->setEnabled(true);
        m_serverPath->setText(m_sessionController->serverPath());
        const QByteArray remembered = m_settings->value(keys::settings::kServerDir).toByteArray();
        if (std::exchange(m_restoreServerDir, false) && !remembered.isEmpty()
            && remembered != m_sessionController->directory())
            m_sessionController->openPath(remembered, true);
    });
    connect(m_sessionController, &SessionController::listingChanged, this, [this] {
        m_serverPath->setText(m_sessionController->serverPath());
        if (!m_sessionController->directory().isEmpty())
            m_settings->setValue(keys::settings::kServerDir, m_sessionController->directory());
    });
    connect(m_sessionController, &SessionController::disconnected, this, [this] {
        m_serverPath->clear();
        m_serverPath->setEnabled(false);
    });
}

void MainWindow::restoreCommandFocus()
{
    if (m_commandList && m_commandList->isEnabled() && m_commandList->isVisible())
        m_commandList->setFocus(Qt::OtherFocusReason);
}

void MainWindow::goToLocalPath()
{
    const QString typed = QDir::fromNativeSeparators(m_localPath->text().trimmed());
    const QString path = typed.startsWith(u'/') || QDir::isAbsolutePath(typed) ? typed
                                                                               : m_localBrowser->path() + u'/' + typed;
    if (!m_localBrowser->setPath(path)) {
        setStatus(QStringLiteral("%1 is not a directory that can be opened").arg(m_localPath->text().trimmed()));
        m_localPath->setText(m_localBrowser->path());
        return;
    }
    m_localBrowser->fileList()->setFocus(Qt::OtherFocusReason);
}

void MainWindow::goToServerPath()
{
    const QString typed = m_serverPath->text().trimmed();
    if (typed.isEmpty() || !m_connected || m_sessionController->isBusy()) {
        m_serverPath->setText(m_sessionController->serverPath());
        return;
    }
    // Shown again as the server confirms it; a refusal keeps the directory shown.
    m_serverPath->setText(m_sessionController->serverPath());
    m_commandList = m_serverBrowser->fileList();
    m_sessionController->openPath(typed.toUtf8());
}

void MainWindow::refreshServer()
{
    if (m_connected && !m_sessionController->isBusy())
        m_sessionController->refreshListing();
}

void MainWindow::restoreRemembered()
{
    if (const QByteArray geometry = m_settings->value(keys::settings::kGeometry).toByteArray(); !geometry.isEmpty())
        restoreGeometry(geometry);
    const QString profile = m_settings->value(keys::settings::kLastProfile).toString();
    if (auto* names = m_connectionPanel->findChild<QComboBox*>(QStringLiteral("cmbName"));
        names && !profile.isEmpty() && names->findText(profile) >= 0) {
        names->setEditText(profile);
        m_connectionPanel->selectProfile();
    }
    const QString local = m_settings->value(keys::settings::kLocalDir).toString();
    if (!local.isEmpty() && QFileInfo(local).isDir())
        m_localBrowser->setPath(local);
}

void MainWindow::remember()
{
    if (!m_settings)
        return;
    m_settings->setValue(keys::settings::kGeometry, saveGeometry());
    (void)m_settings->save();  // nothing to tell at the end of the program
}

}  // namespace zephra::app
