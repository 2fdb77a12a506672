#pragma once
// The "Key Management" frame: key store list, generate, save, choose, remove, accept, and the
// whole-store commands Transfer Keys, Restore Keys and Delete Keys.

#include "keys/KeyStore.h"

#include <QFutureWatcher>
#include <QGroupBox>

namespace zephra::crypto {
class Engine;
struct Status;
}
namespace zephra::dialogs {
class Prompter;
}

class QComboBox;
class QLineEdit;
class QPushButton;

namespace zephra::keys {

class KeyPanel final : public QGroupBox {
    Q_OBJECT
public:
    // appDir ends with a separator; prompter and engine outlive the panel.
    KeyPanel(const QString& appDir, dialogs::Prompter& prompter, crypto::Engine& engine, QWidget* parent = nullptr);
    ~KeyPanel() override;

    // LoadKeys: fill the name list from the store (created empty when missing) and show the
    // first stored key.
    void loadKeys();

    // Keyspace creation is running on a worker thread.
    bool isBusy() const { return m_busy; }
    // Blocks until a running keyspace creation has finished (used by shutdown; a failure is
    // then not reported).
    void waitUntilIdle();

    // Where Transfer and Restore Keys start browsing (the working directory by default).
    void setPathStartDirectory(const QString& dir) { m_pathStart = dir; }

    void chooseName();   // cmbKey_Click
    void generateKey();  // Command4
    void save();         // Command8
    void remove();       // Command9
    void accept();       // Command10
    void transferKeys(); // Command5
    void deleteKeys();   // Command6
    void restoreKeys();  // Command7

signals:
    void statusText(const QString& text);
    void busyChanged(bool busy);
    void keyspaceAccepted();  // a keyspace from the shown key is ready
    void keyspaceLost();      // the accepted keyspace is gone (a failed Accept replaced it)

private:
    void setBusy(bool busy);
    void acceptFinished(bool report);
    void info(const QString& text);
    void warn(const QString& text);

    QString m_appDir;
    KeyStore m_store;
    dialogs::Prompter& m_prompter;
    crypto::Engine& m_engine;
    QString m_pathStart;
    bool m_busy = false;
    QFutureWatcher<crypto::Status>* m_watcher = nullptr;

    QComboBox* m_cmbKey = nullptr;
    QLineEdit* m_txtKey = nullptr;
    QPushButton* m_accept = nullptr;
};

}  // namespace zephra::keys
