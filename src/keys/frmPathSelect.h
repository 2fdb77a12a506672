#pragma once
// frmPathSelect: picks the directory that Transfer Keys copies the key store to, or that
// Restore Keys copies it from.

#include <QDialog>

class QComboBox;
class QLabel;
class QListWidget;
class QListWidgetItem;

namespace zephra::keys {

class frmPathSelect final : public QDialog {
    Q_OBJECT
public:
    enum class Mode { Transfer, Restore };  // KeyPathMode "T" and "R"

    frmPathSelect(Mode mode, const QString& startDir, QWidget* parent = nullptr);

    // KeyPath: the chosen directory ending with the separator, or empty when cancelled.
    QString keyPath() const { return m_keyPath; }

    QString currentDirectory() const { return m_current; }
    void setCurrentDirectory(const QString& dir);

    // dir with the platform's separator appended unless it ends with one (a root keeps one).
    static QString withSeparator(const QString& dir);

private:
    void enter(QListWidgetItem* item);
    void chooseDrive(int index);

    QComboBox* m_drives = nullptr;
    QListWidget* m_dirs = nullptr;
    QLabel* m_pathLabel = nullptr;
    QString m_current;
    QString m_keyPath;
};

}  // namespace zephra::keys
