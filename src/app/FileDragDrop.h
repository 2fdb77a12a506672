#pragma once
// Drag and drop between the two file lists, and from the desktop onto the server list.
//
// - Local list onto server list: the dragged files are uploaded. The drag carries them as
//   text/uri-list (file:// URLs), so a drop from the desktop's file manager onto the server list
//   uploads the same way; folders are left out (the status line says so).
// - Server list onto local list: the dragged files are downloaded into the local directory. The
//   drag carries kServerFilesMime: this program's process, the server directory shown when the
//   drag began and each file's name, server bytes and size. A drop after the server list moved
//   to another directory fetches nothing: the names would mean other files.
// Transfers run through the same FileCommands entry point as the buttons, plain; with a key
// accepted (the encrypted commands enabled), the drop first asks "Plain" / "Encrypted" / "Cancel".
// A drop is taken only while the plain commands are enabled (connected, nothing running).
//
// The views stay the browsers' own: an event filter on each list's viewport starts the drag
// (a press on a selected row and a move of the drag distance, which keeps a multiple selection
// whole) and takes the drops.

#include <QObject>
#include <QStringList>

#include <functional>

class QMimeData;
class QPoint;
class QTreeView;
class QWidget;

namespace zephra::browse {
class LocalBrowser;
class ServerBrowser;
}
namespace zephra::dialogs {
class Prompter;
}

namespace zephra::app {

class FileCommands;
class SessionController;

class FileDragDrop final : public QObject {
    Q_OBJECT
public:
    static constexpr const char* kServerFilesMime = "application/x-zephraftp-server-files";

    struct Context {
        QWidget* window;
        dialogs::Prompter& prompter;
        SessionController& session;
        FileCommands& commands;
        browse::LocalBrowser& local;
        browse::ServerBrowser& server;
        std::function<bool()> plainAllowed;      // the plain transfer commands are enabled
        std::function<bool()> encryptedAllowed;  // the encrypted ones are (a key is accepted)
        std::function<void(const QString&)> setStatus;
    };

    explicit FileDragDrop(Context context, QObject* parent = nullptr);

    // What a drag of the selected rows carries (the caller owns it); null when none selected.
    QMimeData* localDragData() const;
    QMimeData* serverDragData() const;

signals:
    // What a drop left out and why ("Folders are not sent by drag and drop: photos"): the status
    // line shows it at once, the log keeps it after the transfer's own status texts.
    void leftOut(const QString& text);

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    enum class Target { None, Server, Local };

    Target targetOf(QObject* viewport) const;
    bool accepts(Target target, const QMimeData* data) const;
    void dropped(Target target, const QMimeData* data);
    void upload(const QStringList& paths);
    void download(const QByteArray& record);
    // Plain (0), encrypted (1), or -1 for Cancel, asking only with a key accepted.
    int askEncryption(int files, bool upload) const;

    Context m_context;
    QTreeView* m_pressedView = nullptr;  // a press on a selected row there may start a drag
    int m_pressX = 0, m_pressY = 0;
};

}  // namespace zephra::app
