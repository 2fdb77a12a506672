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

    // The key the keyspace was last built from by Accept (empty: none, or that Accept failed),
    // the name stored with exactly that key when Accept ran (empty: an unnamed key), and the
    // key the panel shows now. Encryption may use the keyspace only while the two keys agree.
    const QString& acceptedKey() const { return m_acceptedKey; }
    const QString& acceptedName() const { return m_acceptedName; }
    QString shownKey() const;

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
    void shownKeyChanged();   // the Key field's text changed (typed, picked, generated)

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
    QString m_acceptedKey;
    QString m_acceptedName;
    QString m_pendingKey;   // what the running Accept builds from
    QString m_pendingName;
    QFutureWatcher<crypto::Status>* m_watcher = nullptr;

    QComboBox* m_cmbKey = nullptr;
    QLineEdit* m_txtKey = nullptr;
    QPushButton* m_accept = nullptr;
};

}  // namespace zephra::keys
