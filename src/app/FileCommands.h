#pragma once
// The commands of the main window that move or change files on the server, and the local Edit,
// View and Filter items: the four transfers (Command11 to Command14 and their popup items), the
// ServerDir and ServerFiles operations.
//
// A server command takes the session for its whole run (SessionController::beginCommand), runs
// its items through a TransferRun off the UI thread's waits, shows progress and offers Cancel,
// and ends with one message listing every file that failed and why. Uploads and server
// operations end with a fresh listing; downloads with a fresh local list.

#include "browse/frmNewName.h"
#include "browse/frmServerDelRen.h"
#include "dialogs/Viewer.h"
#include "transfer/TransferRun.h"

#include <QObject>
#include <QString>
#include <QStringList>

#include <functional>
#include <memory>
#include <optional>
#include <vector>

class QWidget;

namespace zephra::browse {
class LocalBrowser;
class ServerBrowser;
}
namespace zephra::crypto {
class Cipher;
class Engine;
}
namespace zephra::dialogs {
class Prompter;
}

namespace zephra::app {

class SessionController;

class FileCommands final : public QObject {
    Q_OBJECT
public:
    struct Context {
        QWidget* window;
        QString appDir;  // ends with a separator
        dialogs::Prompter& prompter;
        crypto::Engine& engine;
        SessionController& session;
        browse::LocalBrowser& local;
        browse::ServerBrowser& server;
        std::function<QString()> editorCommand;  // the viewer command line (editor.xex)
        std::function<void(const QString&)> setStatus;
    };

    // How the modal dialogs are answered; the real dialogs unless a test replaces them.
    struct Dialogs {
        std::function<QString(QWidget*, browse::NameMode)> askName;
        std::function<browse::DelRenAnswer(QWidget*, browse::DelRenMode, std::vector<browse::ServerDirectory>)>
            askDirectory;
        std::function<QString(QWidget*, const QStringList&)> askFilter;
        // Modal; returns when closed: true when the editor saved the file ("Done").
        std::function<bool(QWidget*, const QString& path)> edit;
        std::function<dialogs::ViewerLaunch(const QString& command, const QString& path)> view;
    };

    explicit FileCommands(Context context, QObject* parent = nullptr);
    ~FileCommands() override;

    Dialogs& dialogs() { return m_dialogs; }
    // The sealed format of the accepted key, asked for at the start of every command.
    void setSealedOptions(std::function<transfer::SealedOptions()> source) { m_sealedOptions = std::move(source); }
    bool isRunning() const { return m_run != nullptr; }
    void cancel();
    // Quitting: cancels the running command as Cancel does and waits (bounded) until it has
    // ended; no closing message and no refresh follow.
    void cancelForQuit();

    // Transfers over the selected rows.
    void uploadPlain();       // Command11, LocalFileSendNormal
    void uploadEncrypted();   // Command12, LocalFilesSendEncrypted
    void downloadPlain();     // Command13, ServerFilesSendNormal
    void downloadEncrypted(); // Command14, ServerFilesSendEncrypted

    // The same transfers over the given items instead of the selection (drag and drop, Retry
    // failed): one kind for all, uploads from their local paths, downloads of names in the server
    // directory shown into their local paths.
    void transferItems(QList<transfer::TransferItem> items);

    // ServerDir and ServerFiles.
    void makeServerDirectory();
    void deleteServerDirectory();
    void renameServerDirectory();
    void deleteServerFiles();
    void renameServerFiles();
    void editServerFiles();
    void viewServerFiles();
    void filterServerFiles();

    // LocalFiles.
    void editLocalFiles();
    void viewLocalFiles();
    void filterLocalFiles();

    // The working directory of edit copies: AppDir + "tmp/".
    QString workDir() const;
    // The view copy: AppDir + "ViewData.txt".
    QString viewCopy() const;

signals:
    void runningChanged(bool running);
    // Bytes of the whole selection, its total (-1 unknown), the current file, bytes per second.
    void progress(qint64 done, qint64 total, const QString& current, double rate);
    // A transfer command (not Edit or View) starts its run: `what` names it ("The upload").
    void runStarted(const QString& what, zephra::transfer::TransferRun* run);

private:
    enum class After { RefreshServer, RefreshLocal, Nothing };
    using Items = QList<transfer::TransferItem>;

    void transfer(transfer::TransferItem::Kind kind, bool upload, std::optional<Items> given = std::nullopt);
    // Runs items over the session; `what` names the command in the failure message. With
    // askFirst, an item whose target exists is not transferred before the person decided.
    void run(Items items, const QString& what, After after,
             std::function<void(const transfer::RunSummary&)> then = {},
             std::shared_ptr<const crypto::Cipher> cipher = {}, bool askFirst = false);
    // The overwrite question for one item; overwriteAll is the command's "Overwrite all".
    transfer::ItemDecision askBeforeReplacing(const transfer::TransferItem& item, bool& overwriteAll);
    void finishRun(const transfer::RunSummary& summary, const QString& what, After after,
                   const std::function<void(const transfer::RunSummary&)>& then);
    Items serverItems(transfer::TransferItem::Kind kind) const;
    void editNext(Items items, std::shared_ptr<QString> copyDir, QStringList failures);
    void viewNext(Items items, QStringList failures);
    void showFailures(const QString& what, const QStringList& failures);
    void status(const QString& text) { m_context.setStatus(text); }

    Context m_context;
    Dialogs m_dialogs;
    std::function<transfer::SealedOptions()> m_sealedOptions;
    std::unique_ptr<transfer::RemoteRoute> m_route;
    std::unique_ptr<transfer::TransferRun> m_run;
    bool m_quitting = false;
};

}  // namespace zephra::app
