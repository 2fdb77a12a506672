#pragma once
// The extension filter dialog (frmFilter, caption "Filter"): offers "*.*" and every name ending
// among the names a file list shows, and answers with the chosen entry.
//
// Usage:
//     const QString ending = dialogs::frmFilter::ask(parent, namesShown, prompter);
//     if (!ending.isEmpty())
//         reload the list with it ("*.*" shows every file, else the names ending with it);
// An empty answer (Cancel, the close box) means the list stays as it is.

#include <QDialog>
#include <QString>
#include <QStringList>

class QLabel;
class QListWidget;
class QPushButton;

namespace zephra::dialogs {

class Prompter;

class frmFilter final : public QDialog {
    Q_OBJECT
public:
    static inline const QString kAllFiles = QStringLiteral("*.*");

    frmFilter(const QStringList& names, Prompter& prompter, QWidget* parent = nullptr);

    // The chosen entry after Set; empty after Cancel or the close box.
    QString result() const { return m_result; }

    // "*.*", then each name's ending (from its first "." to the end) in the order the endings
    // first occur; case-sensitive, no duplicates; names without a dot give nothing.
    static QStringList entries(const QStringList& names);

    // Shows the dialog modally and returns its answer.
    static QString ask(QWidget* parent, const QStringList& names, Prompter& prompter);

private:
    void set();

    Prompter& m_prompter;
    QLabel* m_label = nullptr;        // "Label1"
    QListWidget* m_list = nullptr;    // "List1"
    QPushButton* m_set = nullptr;     // "Command1"
    QPushButton* m_cancel = nullptr;  // "Command2"
    QString m_result;
};

}  // namespace zephra::dialogs
