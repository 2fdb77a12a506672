#pragma once
// The "Key Management" frame: key store list, generate, save, choose, remove, accept, and the
// whole-store commands Transfer Keys, Restore Keys and Delete Keys; the format encrypted uploads
// write (remembered in the settings file, keys::settings::kFileFormat).
//
// Accept makes both formats' keys off the UI thread: the rotor keyspace, and the sealed format's
// master key (Argon2id, about 0.2 s) in a KeyRing that lives only in memory and is wiped when
// the key is released (releaseKey(), a new Accept, or the panel going).

#include "keys/KeyStore.h"

#include "crypto/Engine.h"

#include <QFutureWatcher>
#include <QGroupBox>

#include <memory>

namespace zephra::crypto {
class Engine;
namespace sealed {
class KeyRing;
}
}
namespace zephra::dialogs {
class Prompter;
}

class QComboBox;
class QGridLayout;
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

    // The format of encrypted uploads. Compatible (version 5) by default: partners on earlier
    // versions read only that one.
    enum class FileFormat { Compatible, Sealed };
    FileFormat fileFormat() const;
    void setFileFormat(FileFormat format);  // as the user's choice: shown and remembered
    // The sealed format's keys of the accepted key; null before an Accept and once released.
    std::shared_ptr<crypto::sealed::KeyRing> sealedKeys() const { return m_sealedKeys; }
    // Wipes the accepted key's sealed keys (transfers still running keep theirs to the end).
    void releaseKey();

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
    // What Accept's worker makes: the keyspace's status and the sealed keys.
    struct Accepted {
        crypto::Status status;
        std::shared_ptr<crypto::sealed::KeyRing> keys;
    };

    void buildFormatChoice(QGridLayout* grid, int row);
    void rememberFormat();
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

    QFutureWatcher<Accepted>* m_watcher = nullptr;
    std::shared_ptr<crypto::sealed::KeyRing> m_sealedKeys;

    QComboBox* m_cmbKey = nullptr;
    QLineEdit* m_txtKey = nullptr;
    QPushButton* m_accept = nullptr;
    QComboBox* m_cmbFormat = nullptr;
};

}  // namespace zephra::keys
