#pragma once
// Picks a server directory to delete, or to rename together with its new name. The answer
// carries the old and the new name as two values, so names holding ":" work.

#include <QByteArray>
#include <QDialog>
#include <QString>

#include <vector>

#include "browse/ServerListing.h"

class QLabel;
class QLineEdit;
class QListWidget;
class QPushButton;

namespace zephra::dialogs {
class Prompter;
}

namespace zephra::browse {

enum class DelRenMode { Delete, Rename };

struct DelRenAnswer {
    bool accepted = false;     // false: cancelled, nothing to do
    QString oldName;           // the chosen directory as shown
    QByteArray rawOldName;     // and its exact bytes
    QString newName;           // rename only, as typed
};

class frmServerDelRen final : public QDialog {
    Q_OBJECT
public:
    // `directories`: the tree's directory nodes without "..", in tree order.
    frmServerDelRen(DelRenMode mode, std::vector<ServerDirectory> directories,
                    dialogs::Prompter& prompter, QWidget* parent = nullptr);

    const DelRenAnswer& answer() const { return m_answer; }

    static DelRenAnswer ask(QWidget* parent, DelRenMode mode,
                            std::vector<ServerDirectory> directories, dialogs::Prompter& prompter);

private:
    void onOk();

    DelRenMode m_mode;
    std::vector<ServerDirectory> m_dirs;
    dialogs::Prompter& m_prompter;
    QListWidget* m_list = nullptr;   // "List1"
    QLineEdit* m_text = nullptr;     // "Text1"
    QLabel* m_label = nullptr;       // "Label1"
    DelRenAnswer m_answer;
};

}  // namespace zephra::browse
