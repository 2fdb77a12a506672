#include "browse/frmServerDelRen.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QVBoxLayout>

#include "dialogs/Prompter.h"

namespace zephra::browse {

frmServerDelRen::frmServerDelRen(DelRenMode mode, std::vector<ServerDirectory> directories,
                                 dialogs::Prompter& prompter, QWidget* parent)
    : QDialog(parent), m_mode(mode), m_dirs(std::move(directories)), m_prompter(prompter)
{
    setObjectName(QStringLiteral("frmServerDelRen"));
    setModal(true);
    m_list = new QListWidget;
    m_list->setObjectName(QStringLiteral("List1"));
    m_list->setSelectionMode(QAbstractItemView::SingleSelection);
    m_label = new QLabel(tr("Enter New Dir Name"));
    m_label->setObjectName(QStringLiteral("Label1"));
    m_text = new QLineEdit;
    m_text->setObjectName(QStringLiteral("Text1"));
    m_label->setBuddy(m_text);
    auto* ok = new QPushButton(tr("Ok"));
    ok->setObjectName(QStringLiteral("Command1"));
    ok->setDefault(true);
    auto* cancel = new QPushButton(tr("Cancel"));
    cancel->setObjectName(QStringLiteral("Command2"));

    if (mode == DelRenMode::Delete) {
        m_label->hide();
        m_text->hide();
        setWindowTitle(tr("Select Directory to Delete"));
    } else {
        setWindowTitle(tr("Select Directory to Rename and define new name"));
    }
    for (const ServerDirectory& d : m_dirs) {
        auto* item = new QListWidgetItem(d.name, m_list);
        // A name the tree shows greyed cannot be chosen here either.
        if (!d.offered)
            item->setFlags(Qt::NoItemFlags);
    }

    auto* buttons = new QHBoxLayout;
    buttons->addStretch();
    buttons->addWidget(ok);
    buttons->addWidget(cancel);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(m_list);
    layout->addWidget(m_label);
    layout->addWidget(m_text);
    layout->addLayout(buttons);

    connect(ok, &QPushButton::clicked, this, &frmServerDelRen::onOk);
    connect(cancel, &QPushButton::clicked, this, [this] {
        m_answer = {};
        reject();
    });
}

void frmServerDelRen::onOk()
{
    if (m_mode == DelRenMode::Rename && m_text->text().isEmpty()) {
        m_prompter.information(this, dialogs::kAppTitle, tr("You need to define the new name."));
        return;
    }
    int chosen = -1;
    for (int i = 0; i < m_list->count(); ++i) {
        if (m_list->item(i)->isSelected()) {
            chosen = i;
            break;
        }
    }
    if (chosen < 0) {
        m_prompter.information(this, dialogs::kAppTitle, tr("You must select the Directory."));
        return;
    }
    const ServerDirectory& d = m_dirs[std::size_t(chosen)];
    m_answer.accepted = true;
    m_answer.oldName = d.name;
    m_answer.rawOldName = d.rawName;
    if (m_mode == DelRenMode::Rename)
        m_answer.newName = m_text->text();
    accept();
}

DelRenAnswer frmServerDelRen::ask(QWidget* parent, DelRenMode mode,
                                  std::vector<ServerDirectory> directories,
                                  dialogs::Prompter& prompter)
{
    frmServerDelRen dialog(mode, std::move(directories), prompter, parent);
    dialog.exec();
    return dialog.answer();
}

}  // namespace zephra::browse
