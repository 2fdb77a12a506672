#include "app/ActivityPanes.h"

#include "ftp/Listing.h"

#include "app/FileCommands.h"
#include "app/FileDragDrop.h"
#include "app/LogPane.h"
#include "app/SessionController.h"
#include "app/TransferListPane.h"
#include "dialogs/Prompter.h"

#include <QAction>
#include <QMainWindow>
#include <QMenu>
#include <QMenuBar>
#include <QSplitter>

namespace zephra::app {

ActivityPanes::ActivityPanes(QMainWindow* window) : QObject(window), m_window(window)
{
    setObjectName(QStringLiteral("activityPanes"));
}

QWidget* ActivityPanes::wrap(QWidget* browsers)
{
    m_split = new QSplitter(Qt::Vertical, browsers->parentWidget());
    m_split->setObjectName(QStringLiteral("splitActivity"));
    m_split->addWidget(browsers);
    m_lower = new QSplitter(Qt::Horizontal, m_split);
    m_lower->setObjectName(QStringLiteral("splitPanes"));
    m_log = new LogPane(m_lower);
    m_transfers = new TransferListPane(m_lower);
    m_lower->addWidget(m_log);
    m_lower->addWidget(m_transfers);
    m_lower->setStretchFactor(0, 3);
    m_lower->setStretchFactor(1, 2);
    m_split->addWidget(m_lower);
    m_split->setStretchFactor(0, 3);
    m_split->setStretchFactor(1, 1);
    m_split->setCollapsible(0, false);

    QMenu* view = new QMenu(QStringLiteral("View"), m_window);
    view->setObjectName(QStringLiteral("mnuView"));
    m_showLog = view->addAction(QStringLiteral("Protocol Log"));
    m_showLog->setObjectName(QStringLiteral("mnuShowLog"));
    m_showTransfers = view->addAction(QStringLiteral("Transfer List"));
    m_showTransfers->setObjectName(QStringLiteral("mnuShowTransfers"));
    for (QAction* action : {m_showLog, m_showTransfers}) {
        action->setCheckable(true);
        action->setChecked(true);
        connect(action, &QAction::toggled, this, &ActivityPanes::updateVisibility);
    }
    QMenuBar* bar = m_window->menuBar();
    QAction* before = nullptr;
    for (QAction* action : bar->actions())
        if (action->menu() && action->menu()->objectName() == QLatin1String("hlp"))
            before = action;
    bar->insertMenu(before, view);
    return m_split;
}

void ActivityPanes::updateVisibility()
{
    m_log->setVisible(m_showLog->isChecked());
    m_transfers->setVisible(m_showTransfers->isChecked());
    m_lower->setVisible(m_showLog->isChecked() || m_showTransfers->isChecked());
}

void ActivityPanes::attach(SessionController& session, FileCommands& commands, dialogs::Prompter& prompter,
                           FileDragDrop* dragDrop)
{
    m_dragDrop = dragDrop;
    connect(dragDrop, &FileDragDrop::leftOut, m_log, &LogPane::addError);
    connect(&session, &SessionController::protocolLine, m_log, &LogPane::addProtocolLine);
    connect(&session, &SessionController::failed, m_log, &LogPane::addError);
    connect(&session, &SessionController::busyChanged, m_transfers, &TransferListPane::setBusy);
    connect(&commands, &FileCommands::runStarted, this, [this, &session](const QString& what, transfer::TransferRun* run) {
        m_transfers->addRun(what, run, session.directory());
        // Each failed file in the log too, as the closing message lists it.
        connect(run, &transfer::TransferRun::fileStateChanged, m_log,
                [log = m_log, what](int, const QString& name, transfer::TransferRun::FileState state, qint64, qint64,
                                    const QString& reason) {
                    if (state == transfer::TransferRun::FileState::Failed)
                        log->addError(QStringLiteral("%1 failed for %2: %3").arg(what, name, reason));
                });
    });
    // The names are the server's names in the directory the command ran in: elsewhere they would
    // be other files, or none. A refused retry leaves the files to be retried from there.
    m_transfers->setRetryCheck([this, &session, &prompter](const QByteArray& directory) {
        if (directory == session.directory())
            return true;
        const QString shown = directory.isEmpty() ? QStringLiteral("the login directory") : ftp::decodeServerName(directory);
        const QString text = QStringLiteral("The failed files are in %1, but the server list shows another "
                                            "directory. Open %1 first, then Retry failed.").arg(shown);
        m_log->addError(text);
        prompter.information(m_window, dialogs::kAppTitle, text);
        return false;
    });
    connect(m_transfers, &TransferListPane::retryRequested, this,
            [&commands](const QList<transfer::TransferItem>& items, const QByteArray&) { commands.transferItems(items); });
}

}  // namespace zephra::app
