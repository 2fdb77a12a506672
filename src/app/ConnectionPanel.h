#pragma once
// The "Connections" frame: profile list, fields, Save, Remove, Clear, Anonymous and the
// Connect button (whose click the main window handles). The TLS choice of a profile lives in
// its own file beside connect.dat (ProfileTlsStore), loaded, saved and removed with the profile.

#include "app/ProfileStore.h"
#include "app/ProfileTlsStore.h"

#include <QGroupBox>

class QCheckBox;
class QComboBox;
class QLineEdit;
class QPushButton;

namespace zephra::dialogs {
class Prompter;
}

namespace zephra::app {

class ConnectionPanel final : public QGroupBox {
    Q_OBJECT
public:
    ConnectionPanel(const QString& appDir, dialogs::Prompter& prompter, QWidget* parent = nullptr);

    void clearForStartUp();   // start-up step 1 for this frame
    void loadConnections();   // LoadConnections
    void selectProfile();     // click on an entry of cmbName
    void saveProfile();       // Command1
    void removeProfile();     // Command2
    void clearFields();       // Command15
    void anonymous();         // Command16

    // The values of the fields as a record (what Connect uses).
    ConnectionRecord fields() const;
    // The TLS choice in cboTls (what Connect uses).
    ftp::TlsMode tlsMode() const;
    void setTlsMode(ftp::TlsMode mode);

    QPushButton* connectButton() const { return m_connect; }

signals:
    void statusText(const QString& text);  // "Connection ... saved"

private:
    void showFields(const ConnectionRecord& record);
    void info(const QString& text);

    ProfileStore m_store;
    ProfileTlsStore m_tlsStore;
    dialogs::Prompter& m_prompter;
    QComboBox* m_cmbName = nullptr;
    QLineEdit* m_txtAddr = nullptr;
    QLineEdit* m_txtUser = nullptr;
    QLineEdit* m_txtPass = nullptr;
    QLineEdit* m_txtPort = nullptr;
    QCheckBox* m_check1 = nullptr;
    QComboBox* m_cboTls = nullptr;
    QPushButton* m_connect = nullptr;
};

}  // namespace zephra::app
