#pragma once
// The name dialog: asks for a new directory or file name. An empty answer means cancelled.

#include <QDialog>
#include <QString>

class QLabel;
class QLineEdit;
class QPushButton;

namespace zephra::browse {

enum class NameMode {
    NewDirectory,  // caption "Enter Name of New Directory"
    NewFile,       // caption "Enter Name of New File"
    AsDesigned,    // the captions as designed
};

class frmNewName final : public QDialog {
    Q_OBJECT
public:
    explicit frmNewName(NameMode mode, QWidget* parent = nullptr);

    // The text as typed after Ok; empty after Cancel or the close box.
    QString result() const { return m_result; }

    // Shows the dialog modally and returns its answer.
    static QString ask(QWidget* parent, NameMode mode);

private:
    QLineEdit* m_text = nullptr;    // "Text1"
    QLabel* m_label = nullptr;      // "Label1"
    QPushButton* m_ok = nullptr;    // "Command1"
    QPushButton* m_cancel = nullptr;// "Command2"
    QString m_result;
};

}  // namespace zephra::browse
