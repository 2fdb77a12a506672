#include "keys/KeyPanel.h"

#include "crypto/Engine.h"
#include "crypto/sealed/KeyRing.h"
#include "dialogs/Prompter.h"
#include "keys/Cp1252.h"
#include "keys/KeyFileOps.h"
#include "keys/Settings.h"
#include "keys/frmPathSelect.h"

#include <QApplication>
#include <QComboBox>
#include <QDir>
#include <QGridLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRandomGenerator>
#include <QtConcurrent/QtConcurrentRun>

#include <thread>
#include <utility>

namespace zephra::keys {

namespace {
constexpr int kGeneratedKeyLength = 18;

// The format choice's values in the settings file.
const QString kCompatibleValue = QStringLiteral("compatible");
const QString kSealedValue = QStringLiteral("sealed");

// The engine's one-line reasons as a sentence of a message box.
QString sentence(const std::string& reason)
{
    QString text = QString::fromStdString(reason);
    if (!text.isEmpty())
        text[0] = text[0].toUpper();
    if (!text.endsWith(u'.'))
        text += u'.';
    return text;
}
}

KeyPanel::KeyPanel(const QString& appDir, dialogs::Prompter& prompter, crypto::Engine& engine, QWidget* parent)
    : QGroupBox(QStringLiteral("Key Management"), parent),
      m_appDir(appDir),
      m_store(appDir),
      m_prompter(prompter),
      m_engine(engine),
      m_pathStart(QDir::currentPath())
{
    setObjectName(QStringLiteral("fraKeys"));

    m_cmbKey = new QComboBox(this);
    m_cmbKey->setObjectName(QStringLiteral("cmbKey"));
    m_cmbKey->setEditable(true);
    m_cmbKey->setInsertPolicy(QComboBox::NoInsert);
    m_cmbKey->lineEdit()->setMaxLength(KeyRecord::kNameWidth);
    m_cmbKey->setMinimumContentsLength(16);
    m_txtKey = new QLineEdit(this);
    m_txtKey->setObjectName(QStringLiteral("txtKey"));
    m_txtKey->setMaxLength(KeyRecord::kKeyWidth);

    auto button = [this](const char* name, const QString& caption) {
        auto* b = new QPushButton(caption, this);
        b->setObjectName(QLatin1String(name));
        return b;
    };
    QPushButton* generate = button("Command4", QStringLiteral("Generate Key"));
    QPushButton* transfer = button("Command5", QStringLiteral("Transfer Keys"));
    QPushButton* del = button("Command6", QStringLiteral("Delete Keys"));
    QPushButton* restore = button("Command7", QStringLiteral("Restore Keys"));
    QPushButton* saveButton = button("Command8", QStringLiteral("Save"));
    QPushButton* removeButton = button("Command9", QStringLiteral("Remove"));
    m_accept = button("Command10", QStringLiteral("Accept"));

    auto* nameLabel = new QLabel(QStringLiteral("Name"), this);
    nameLabel->setObjectName(QStringLiteral("lblKeyName"));
    nameLabel->setBuddy(m_cmbKey);
    auto* keyLabel = new QLabel(QStringLiteral("Key"), this);
    keyLabel->setObjectName(QStringLiteral("lblKey"));
    keyLabel->setBuddy(m_txtKey);

    auto* grid = new QGridLayout(this);
    grid->addWidget(nameLabel, 0, 0);
    grid->addWidget(m_cmbKey, 0, 1, 1, 3);
    grid->addWidget(keyLabel, 1, 0);
    grid->addWidget(m_txtKey, 1, 1, 1, 2);
    grid->addWidget(generate, 1, 3);
    grid->addWidget(saveButton, 2, 1);
    grid->addWidget(removeButton, 2, 2);
    grid->addWidget(m_accept, 2, 3);
    grid->addWidget(transfer, 3, 1);
    grid->addWidget(restore, 3, 2);
    grid->addWidget(del, 3, 3);
    grid->setColumnStretch(1, 1);
    grid->setColumnStretch(2, 1);
    grid->setColumnStretch(3, 1);
    buildFormatChoice(grid, 4);
    grid->setRowStretch(5, 1);

    connect(m_cmbKey, &QComboBox::textActivated, this, &KeyPanel::chooseName);
    connect(m_txtKey, &QLineEdit::textChanged, this, &KeyPanel::shownKeyChanged);
    connect(generate, &QPushButton::clicked, this, &KeyPanel::generateKey);
    connect(saveButton, &QPushButton::clicked, this, &KeyPanel::save);
    connect(removeButton, &QPushButton::clicked, this, &KeyPanel::remove);
    connect(m_accept, &QPushButton::clicked, this, &KeyPanel::accept);
    connect(transfer, &QPushButton::clicked, this, &KeyPanel::transferKeys);
    connect(restore, &QPushButton::clicked, this, &KeyPanel::restoreKeys);
    connect(del, &QPushButton::clicked, this, &KeyPanel::deleteKeys);
}

KeyPanel::~KeyPanel()
{
    // Only wait: the window that listens to the signals is already being torn down.
    if (m_watcher) {
        m_watcher->waitForFinished();
        QApplication::restoreOverrideCursor();
    }
}

void KeyPanel::buildFormatChoice(QGridLayout* grid, int row)
{
    m_cmbFormat = new QComboBox(this);
    m_cmbFormat->setObjectName(QStringLiteral("cmbFormat"));
    m_cmbFormat->addItem(QStringLiteral("Compatible (version 5)"), kCompatibleValue);
    m_cmbFormat->addItem(QStringLiteral("Sealed (recommended)"), kSealedValue);
    m_cmbFormat->setToolTip(QStringLiteral(
        "The format of encrypted uploads.\n"
        "Sealed adds what Compatible lacks: every file gets its own key, and a wrong key, a damaged,\n"
        "cut-short or altered file is reported instead of decrypted into garbage.\n"
        "Both sides need this version (or a later one) to read Sealed files;\n"
        "partners on earlier versions read only Compatible.\n"
        "Encrypted downloads read either format, whatever is chosen here."));
    auto* label = new QLabel(QStringLiteral("Format"), this);
    label->setObjectName(QStringLiteral("lblFormat"));
    label->setBuddy(m_cmbFormat);
    grid->addWidget(label, row, 0);
    grid->addWidget(m_cmbFormat, row, 1, 1, 3);
    // What the settings file holds; anything else there is the default.
    const QString stored = Settings(m_appDir).value(settings::kFileFormat, kCompatibleValue).toString();
    m_cmbFormat->setCurrentIndex(stored == kSealedValue ? 1 : 0);
    connect(m_cmbFormat, &QComboBox::activated, this, &KeyPanel::rememberFormat);
}

KeyPanel::FileFormat KeyPanel::fileFormat() const
{
    return m_cmbFormat->currentData().toString() == kSealedValue ? FileFormat::Sealed : FileFormat::Compatible;
}

void KeyPanel::setFileFormat(FileFormat format)
{
    m_cmbFormat->setCurrentIndex(format == FileFormat::Sealed ? 1 : 0);
    rememberFormat();
}

void KeyPanel::rememberFormat()
{
    Settings stored(m_appDir);
    stored.setValue(settings::kFileFormat, m_cmbFormat->currentData().toString());
    if (!stored.save())
        warn(QStringLiteral("The format choice could not be remembered.  ") + stored.errorString());
}

void KeyPanel::releaseKey() { m_sealedKeys.reset(); }

void KeyPanel::info(const QString& text) { m_prompter.information(window(), dialogs::kAppTitle, text); }
void KeyPanel::warn(const QString& text) { m_prompter.warning(window(), dialogs::kAppTitle, text); }

void KeyPanel::loadKeys()
{
    m_cmbKey->clear();
    if (const StoreStatus created = m_store.ensureExists(); !created.ok)
        warn(created.message);
    const KeyStore::Listing listing = m_store.names();
    if (!listing.error.isEmpty())
        warn(listing.error);
    m_cmbKey->addItems(listing.names);
    m_cmbKey->setEditText(listing.names.value(0));
    if (!m_cmbKey->currentText().isEmpty())
        chooseName();
}

QString KeyPanel::shownKey() const { return m_txtKey->text(); }

void KeyPanel::chooseName()
{
    if (const auto key = m_store.keyFor(m_cmbKey->currentText()))
        m_txtKey->setText(*key);
}

void KeyPanel::generateKey()
{
    // Each digit 1..9 equally likely, from the operating system's secure source.
    QString key;
    for (int i = 0; i < kGeneratedKeyLength; ++i)
        key.append(QChar(u'0' + QRandomGenerator::system()->bounded(1, 10)));
    m_txtKey->setText(key);
}

void KeyPanel::save()
{
    const QString name = m_cmbKey->currentText();
    const QString key = m_txtKey->text();
    if (name.isEmpty() || key.isEmpty()) {
        info(QStringLiteral("Missing Data.  Enter a Name and a Key or generate one."));
        return;
    }
    if (key.contains(u'0')) {
        info(QStringLiteral("Key cannot contain a zero.  Change the zero to numeric digit."));
        return;
    }
    if (const StoreStatus saved = m_store.save(name, key); !saved.ok) {
        warn(saved.message);
        return;
    }
    // The list shows the saved name at once; the fields keep what was saved.
    loadKeys();
    m_cmbKey->setEditText(name);
    m_txtKey->setText(key);
    info(QStringLiteral("Key Saved"));
}

void KeyPanel::remove()
{
    const QString name = m_cmbKey->currentText();
    if (name.isEmpty())
        return;
    if (!m_prompter.question(window(), QStringLiteral("Remove Confirm"),
                             QStringLiteral("Are you sure you want to remove the Key ") + name + u'?'))
        return;
    if (const StoreStatus removed = m_store.remove(name); !removed.ok) {
        warn(removed.message);
        return;
    }
    loadKeys();
}

void KeyPanel::accept()
{
    if (m_busy)
        return;
    const QString key = m_txtKey->text();
    if (key.isEmpty()) {
        info(QStringLiteral("Missing Key.  Enter a Key or generate one."));
        return;
    }
    const auto bytes = cp1252::encode(key);
    if (!bytes) {
        info(QStringLiteral("Key cannot contain the character \"%1\".  Change it to a numeric digit.")
                 .arg(*cp1252::firstUnencodable(key)));
        return;
    }
    const std::string keyBytes = bytes->toStdString();
    if (const crypto::Status valid = crypto::Engine::validateKey(keyBytes); !valid.ok()) {
        info(QStringLiteral("Key cannot be accepted.  ") + sentence(valid.message));
        return;
    }
    m_pendingKey = key;
    // A name counts only when the store holds exactly this key under it: a stored name beside a
    // typed or generated key would name the wrong key.
    const QString name = m_cmbKey->currentText();
    m_pendingName = !name.isEmpty() && m_store.keyFor(name) == key ? name : QString();
    setBusy(true);
    emit statusText(QStringLiteral("Creating Keyspace..."));
    QApplication::setOverrideCursor(Qt::WaitCursor);
    // The key in force until now goes at once: a failed Accept leaves none.
    m_sealedKeys.reset();
    m_watcher = new QFutureWatcher<Accepted>(this);
    connect(m_watcher, &QFutureWatcher<Accepted>::finished, this, [this] { acceptFinished(true); });
    crypto::Engine* engine = &m_engine;
    m_watcher->setFuture(QtConcurrent::run([engine, keyBytes] {
        // The sealed master key (Argon2id, memory-hard) on a second thread while the keyspace is made.
        Accepted accepted;
        crypto::Status sealedStatus;
        std::thread kdf([&] {
            sealedStatus = crypto::sealed::KeyRing::create(keyBytes, accepted.keys);
            if (sealedStatus.ok())
                sealedStatus = accepted.keys->prepare();
        });
        accepted.status = engine->createKeyspace(keyBytes);
        kdf.join();
        if (accepted.status.ok() && !sealedStatus.ok())
            accepted.status = sealedStatus;
        if (!accepted.status.ok())
            accepted.keys.reset();
        return accepted;
    }));
}

void KeyPanel::acceptFinished(bool report)
{
    if (!m_watcher)
        return;
    QFutureWatcher<Accepted>* watcher = std::exchange(m_watcher, nullptr);
    // waitUntilIdle() may get here before the watcher's own queued report: silence that one.
    watcher->disconnect(this);
    watcher->deleteLater();
    Accepted accepted = watcher->result();
    const crypto::Status status = accepted.status;
    m_sealedKeys = std::move(accepted.keys);
    QApplication::restoreOverrideCursor();
    emit statusText(QStringLiteral("Ready..."));
    setBusy(false);
    if (status.ok()) {
        m_acceptedKey = m_pendingKey;
        m_acceptedName = m_pendingName;
        emit keyspaceAccepted();
    } else {
        m_acceptedKey.clear();
        m_acceptedName.clear();
        emit keyspaceLost();
        if (report)
            warn(QStringLiteral("The keyspace could not be created.  ") + sentence(status.message));
    }
}

void KeyPanel::waitUntilIdle()
{
    if (m_watcher) {
        m_watcher->waitForFinished();
        acceptFinished(false);  // the program is ending: nobody is left to read a message
    }
}

void KeyPanel::setBusy(bool busy)
{
    m_busy = busy;
    m_accept->setEnabled(!busy);
    emit busyChanged(busy);
}

void KeyPanel::transferKeys()
{
    auto* dialog = new frmPathSelect(frmPathSelect::Mode::Transfer, m_pathStart, window());
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    connect(dialog, &QDialog::finished, this, [this, dialog] {
        const QString path = dialog->keyPath();
        if (path.isEmpty())
            return;
        if (const StoreStatus copied = transferStore(m_appDir, path); !copied.ok) {
            warn(copied.message);
            return;
        }
        info(QStringLiteral("Keys Transferred."));
    });
    dialog->open();
}

void KeyPanel::restoreKeys()
{
    auto* dialog = new frmPathSelect(frmPathSelect::Mode::Restore, m_pathStart, window());
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    connect(dialog, &QDialog::finished, this, [this, dialog] {
        const QString path = dialog->keyPath();
        if (path.isEmpty())
            return;
        if (const StoreStatus copied = restoreStore(path, m_appDir); !copied.ok) {
            warn(copied.message);
            return;
        }
        // The list shows the restored names at once rather than the names of the old store.
        const QString shownKey = m_txtKey->text();
        loadKeys();
        if (m_cmbKey->count() == 0)
            m_txtKey->setText(shownKey);
        info(QStringLiteral("Keys Restored."));
    });
    dialog->open();
}

void KeyPanel::deleteKeys()
{
    if (!m_prompter.question(window(), QStringLiteral("Key Delete Confirm"),
                             QStringLiteral("Please make certain that you transfer the key file before deleting it.  "
                                            "Are you sure you want to delete the Key File?")))
        return;
    if (const StoreStatus deleted = deleteStore(m_appDir); !deleted.ok) {
        warn(deleted.message);
        return;
    }
    info(QStringLiteral("Key File is deleted.  No Cryptions are now possible."));
}

}  // namespace zephra::keys
