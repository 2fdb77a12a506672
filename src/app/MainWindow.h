#pragma once
// frmMain: the one main window. It owns the application-wide state, runs start-up and
// shutdown, and hosts the connection and key frames, both browsers and the transfer controls.

#include <QList>
#include <QPointer>
#include <QMainWindow>

#include <memory>

class QAction;
class QLabel;
class QLineEdit;
class QMenu;
class QProgressBar;
class QPushButton;

namespace zephra::browse {
class LocalBrowser;
class ServerBrowser;
}
namespace zephra::crypto {
class Engine;
}
namespace zephra::dialogs {
class Prompter;
}
namespace zephra::ftp {
class Connection;
}
namespace zephra::keys {
class KeyPanel;
class Settings;
}

namespace zephra::app {

class ActivityPanes;
class ConnectionPanel;
class FileCommands;
class SessionController;
class TlsConnectFlow;
class TlsLockLabel;

class MainWindow final : public QMainWindow {
    Q_OBJECT
public:
    struct Deps {
        QString appDir;  // AppDir: absolute, ends with a separator, exists
        dialogs::Prompter& prompter;
        crypto::Engine& engine;  // works in appDir
    };

    // Builds the window and runs the start-up sequence.
    explicit MainWindow(Deps deps, QWidget* parent = nullptr);
    ~MainWindow() override;

    const QString& appDir() const { return m_appDir; }
    const QString& editorPath() const { return m_editorPath; }

    // DoReady: "Ready..." in the status line, painted at once.
    void doReady();
    void setStatus(const QString& text);

    // The connection state, set by the connecting work. Connected enables the plain transfer
    // controls; disconnecting disables all eight and forgets the accepted key, so the
    // encrypted ones return only with the next Accept.
    void setConnected(bool connected);
    bool isConnected() const { return m_connected; }
    // FtpEngine: the one FTP engine, created at start-up and never replaced.
    ftp::Connection& ftpEngine() const { return *m_ftpEngine; }

    // The shutdown sequence; runs once, every error ignored. Closing the window, File > Exit,
    // SIGTERM/SIGINT and the end of the application all lead here.
    void shutdown();

    keys::KeyPanel* keyPanel() const { return m_keyPanel; }
    ConnectionPanel* connectionPanel() const { return m_connectionPanel; }
    browse::LocalBrowser* localBrowser() const { return m_localBrowser; }
    browse::ServerBrowser* serverBrowser() const { return m_serverBrowser; }
    SessionController* sessionController() const { return m_sessionController; }
    FileCommands* fileCommands() const { return m_fileCommands; }
    // The protocol log, the transfer list and drag and drop.
    ActivityPanes* activityPanes() const { return m_panes; }

    // Encryption may start now: a key was accepted in this session and the Key field still shows
    // it. Every encrypted command of the window asks this (buttons, popup items, drops).
    bool encryptionAllowed() const;

    // Command3: connects with the fields of the "Connections" frame, or disconnects.
    void toggleConnection();

protected:
    void changeEvent(QEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    void showEvent(QShowEvent* event) override;

private:
    void buildMenus();
    QWidget* buildLocalBrowser();
    QWidget* buildServerBrowser();
    QWidget* buildTransferFrame();
    void startUp();
    void readEditorPath();
    void wireCommands();
    void updateTransferControls();
    void updateKeyInForce();  // the status row's key label, then the controls
    void showProgress(qint64 done, qint64 total, const QString& current, double rate);
    void loadServerData();  // LoadServerData from the listing work file, no filter
    void setBusy(bool busy);
    void checkNotice();
    // Navigation (MainWindowNavigation.cpp): path fields, Refresh, focus, what is remembered.
    void wireNavigation();
    void restoreRemembered();
    void remember();
    void goToLocalPath();
    void goToServerPath();
    void refreshServer();
    void restoreCommandFocus();
    // The data directory and every file in it owner-only; says why when it cannot.
    void secureDataDirectory();
    void showHelp(const QString& page);
    void showAbout();

    QString m_appDir;
    dialogs::Prompter& m_prompter;
    crypto::Engine& m_engine;
    ftp::Connection* m_ftpEngine = nullptr;

    QString m_editorPath;
    bool m_connected = false;
    bool m_keyspaceAccepted = false;
    bool m_noticeChecked = false;
    bool m_shutDown = false;

    ConnectionPanel* m_connectionPanel = nullptr;
    keys::KeyPanel* m_keyPanel = nullptr;
    QLabel* m_lbStat = nullptr;
    QLabel* m_keyInForce = nullptr;
    QLineEdit* m_localPath = nullptr;   // txtLocalPath
    QLineEdit* m_serverPath = nullptr;  // txtServerPath
    std::unique_ptr<keys::Settings> m_settings;
    QPointer<QWidget> m_commandList;    // the list (or tree) the user worked in last
    bool m_restoreServerDir = false;    // the next connect goes to the remembered directory
    QProgressBar* m_busyBar = nullptr;
    QPushButton* m_cancel = nullptr;
    browse::LocalBrowser* m_localBrowser = nullptr;
    browse::ServerBrowser* m_serverBrowser = nullptr;
    SessionController* m_sessionController = nullptr;
    TlsConnectFlow* m_tlsFlow = nullptr;  // connects with the profile's TLS choice
    TlsLockLabel* m_tlsLock = nullptr;    // padlock beside the status line
    FileCommands* m_fileCommands = nullptr;
    ActivityPanes* m_panes = nullptr;
    QList<QAction*> m_serverActions;  // the ServerDir and ServerFiles operations
    QPushButton* m_sendNormal = nullptr;       // Command11
    QPushButton* m_sendEncrypted = nullptr;    // Command12
    QPushButton* m_receiveNormal = nullptr;    // Command13
    QPushButton* m_receiveEncrypted = nullptr; // Command14
    QAction* m_localFileSendNormal = nullptr;
    QAction* m_serverFilesSendNormal = nullptr;
    QAction* m_localFilesSendEncrypted = nullptr;
    QAction* m_serverFilesSendEncrypted = nullptr;
    QMenu* m_localDirMenu = nullptr;
    QMenu* m_localFilesMenu = nullptr;
    QMenu* m_serverDirMenu = nullptr;
    QMenu* m_serverFilesMenu = nullptr;
};

}  // namespace zephra::app
