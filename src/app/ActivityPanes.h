#pragma once
// The main window's lower area and its wiring: the protocol log and the transfer list side by
// side below the browsers, in a splitter that can shrink them or hand them more room, each
// shown or hidden with a checkable item of the View menu; and drag and drop between the lists.

#include <QObject>

class QAction;
class QMainWindow;
class QSplitter;
class QWidget;

namespace zephra::dialogs {
class Prompter;
}

namespace zephra::app {

class FileCommands;
class FileDragDrop;
class LogPane;
class SessionController;
class TransferListPane;

class ActivityPanes final : public QObject {
    Q_OBJECT
public:
    explicit ActivityPanes(QMainWindow* window);

    // The browsers above, the panes below: put the result where the browsers were. Adds the View
    // menu (before Help).
    QWidget* wrap(QWidget* browsers);
    // Once the session and the commands exist: what the panes show, Retry failed, drag and drop.
    void attach(SessionController& session, FileCommands& commands, dialogs::Prompter& prompter, FileDragDrop* dragDrop);

    LogPane* logPane() const { return m_log; }
    TransferListPane* transferList() const { return m_transfers; }
    QAction* showLogAction() const { return m_showLog; }
    QAction* showTransfersAction() const { return m_showTransfers; }
    FileDragDrop* dragDrop() const { return m_dragDrop; }

private:
    void updateVisibility();

    QMainWindow* m_window;
    QSplitter* m_split = nullptr;
    QSplitter* m_lower = nullptr;
    LogPane* m_log = nullptr;
    TransferListPane* m_transfers = nullptr;
    QAction* m_showLog = nullptr;
    QAction* m_showTransfers = nullptr;
    FileDragDrop* m_dragDrop = nullptr;
};

}  // namespace zephra::app
