#pragma once
// Beside the status line while connected: a closed padlock and "TLS" when the session is
// encrypted, an open one and "Not encrypted" when it is not; nothing when not connected. It
// stays while the status line moves on to other texts ("Ready...", "Refreshing...").

#include <QFrame>

class QLabel;

namespace zephra::app {

class TlsLockLabel final : public QFrame {
    Q_OBJECT
public:
    explicit TlsLockLabel(QWidget* parent = nullptr);

    void showSession(bool connected, bool encrypted);
    bool isEncryptedShown() const { return m_encrypted; }
    QString text() const;

private:
    QPixmap padlock(bool closed) const;
    QLabel* m_icon = nullptr;
    QLabel* m_text = nullptr;
    bool m_encrypted = false;
};

}  // namespace zephra::app
