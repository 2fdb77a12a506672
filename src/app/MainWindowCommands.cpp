// The main window's commands: the transfer buttons and popup items wired to FileCommands, which
// of them may run now, and the busy bar with its progress text.

#include "app/MainWindow.h"

#include "app/ConnectionPanel.h"
#include "app/FileCommands.h"
#include "app/KeyInForce.h"
#include "app/SessionController.h"
#include "browse/LocalBrowser.h"
#include "browse/ServerBrowser.h"
#include "keys/KeyPanel.h"

#include <QAction>
#include <QApplication>
#include <QLabel>
#include <QMenu>
#include <QProgressBar>
#include <QPushButton>

namespace zephra::app {

namespace {

// A popup item of a browser's menu, by its name.
QAction* menuItem(QMenu* menu, const char* name)
{
    QAction* action = menu->findChild<QAction*>(QLatin1String(name));
    Q_ASSERT(action);
    return action;
}

}  // namespace

void MainWindow::wireCommands()
{
    m_fileCommands = new FileCommands(
        FileCommands::Context{this, m_appDir, m_prompter, m_engine, *m_sessionController, *m_localBrowser,
                              *m_serverBrowser, [this] { return m_editorPath; },
                              [this](const QString& text) { setStatus(text); }},
        this);
    FileCommands* commands = m_fileCommands;
    commands->setSealedOptions([this] {
        return transfer::SealedOptions{m_keyPanel->sealedKeys(),
                                       m_keyPanel->fileFormat() == keys::KeyPanel::FileFormat::Sealed};
    });

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
    if (!m_fileCommands)
        return;  // start-up has not wired the commands yet
    // While a connect, listing or command waits for the server, nothing that would use the
    // session can start.
    const bool idle = m_connected && m_sessionController && !m_sessionController->isBusy();
    const bool plain = idle;
    const bool encrypted = idle && encryptionAllowed();
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

bool MainWindow::encryptionAllowed() const
{
    // The keyspace is the accepted key's; the shown key is the one the user expects to be used.
    return m_keyspaceAccepted && !m_keyPanel->isBusy() && !m_keyPanel->acceptedKey().isEmpty()
        && m_keyPanel->shownKey() == m_keyPanel->acceptedKey();
}

void MainWindow::updateKeyInForce()
{
    const bool inForce = m_keyspaceAccepted && !m_keyPanel->acceptedKey().isEmpty();
    m_keyInForce->setText(inForce ? keyInForceText(m_keyPanel->acceptedName(), m_keyPanel->acceptedKey())
                                  : keyInForceText({}, {}));
    updateTransferControls();
}

}  // namespace zephra::app
