#include "dialogs/frmFilter.h"

#include "dialogs/Prompter.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QListWidget>
#include <QPushButton>
#include <QSet>
#include <QVBoxLayout>

namespace zephra::dialogs {

frmFilter::frmFilter(const QStringList& names, Prompter& prompter, QWidget* parent)
    : QDialog(parent), m_prompter(prompter)
{
    setObjectName(QStringLiteral("frmFilter"));
    setWindowTitle(tr("Filter"));
    setModal(true);

    m_label = new QLabel(tr("Select Extension"), this);
    m_label->setObjectName(QStringLiteral("Label1"));
    m_list = new QListWidget(this);
    m_list->setObjectName(QStringLiteral("List1"));
    m_list->setSelectionMode(QAbstractItemView::SingleSelection);
    m_list->addItems(entries(names));
    m_label->setBuddy(m_list);
    m_set = new QPushButton(tr("Set"), this);
    m_set->setObjectName(QStringLiteral("Command1"));
    m_set->setDefault(true);
    m_cancel = new QPushButton(tr("Cancel"), this);
    m_cancel->setObjectName(QStringLiteral("Command2"));

    auto* buttons = new QHBoxLayout;
    buttons->addStretch();
    buttons->addWidget(m_set);
    buttons->addWidget(m_cancel);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(m_label);
    layout->addWidget(m_list, 1);
    layout->addLayout(buttons);
    resize(260, 300);

    connect(m_set, &QPushButton::clicked, this, &frmFilter::set);
    connect(m_list, &QListWidget::itemDoubleClicked, this, &frmFilter::set);
    connect(m_cancel, &QPushButton::clicked, this, [this] {
        m_result.clear();
        reject();
    });
    // The close box and Escape end in reject() with no answer.
}

QStringList frmFilter::entries(const QStringList& names)
{
    QStringList list{kAllFiles};
    QSet<QString> seen{kAllFiles};
    for (const QString& name : names) {
        const qsizetype dot = name.indexOf(u'.');
        if (dot < 0)
            continue;
        const QString ending = name.mid(dot);
        if (!seen.contains(ending)) {
            seen.insert(ending);
            list.append(ending);
        }
    }
    return list;
}

QString frmFilter::ask(QWidget* parent, const QStringList& names, Prompter& prompter)
{
    frmFilter dialog(names, prompter, parent);
    dialog.exec();
    return dialog.result();
}

void frmFilter::set()
{
    m_result.clear();
    const QList<QListWidgetItem*> selected = m_list->selectedItems();
    if (!selected.isEmpty())
        m_result = selected.first()->text();
    if (m_result.isEmpty()) {
        m_prompter.information(this, kAppTitle, QStringLiteral("You haven't selected a Filter.'"));
        return;
    }
    accept();
}

}  // namespace zephra::dialogs
