#include "browse/frmNewName.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

namespace zephra::browse {

frmNewName::frmNewName(NameMode mode, QWidget* parent) : QDialog(parent)
{
    setObjectName(QStringLiteral("frmNewName"));
    setModal(true);
    m_label = new QLabel(tr("Name"));
    m_label->setObjectName(QStringLiteral("Label1"));
    m_text = new QLineEdit;
    m_text->setObjectName(QStringLiteral("Text1"));
    m_label->setBuddy(m_text);
    m_ok = new QPushButton(tr("Ok"));
    m_ok->setObjectName(QStringLiteral("Command1"));
    m_ok->setDefault(true);
    m_cancel = new QPushButton(tr("Cancel"));
    m_cancel->setObjectName(QStringLiteral("Command2"));
    setWindowTitle(tr("New Name"));

    switch (mode) {
    case NameMode::NewDirectory:
        setWindowTitle(tr("Enter Name of New Directory"));
        m_label->setText(tr("New Directory Name"));
        break;
    case NameMode::NewFile:
        setWindowTitle(tr("Enter Name of New File"));
        m_label->setText(tr("New File Name"));
        break;
    case NameMode::AsDesigned:
        break;
    }

    auto* buttons = new QHBoxLayout;
    buttons->addStretch();
    buttons->addWidget(m_ok);
    buttons->addWidget(m_cancel);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(m_label);
    layout->addWidget(m_text);
    layout->addLayout(buttons);
    setMinimumWidth(320);

    connect(m_ok, &QPushButton::clicked, this, [this] {
        m_result = m_text->text();
        accept();
    });
    connect(m_cancel, &QPushButton::clicked, this, [this] {
        m_result.clear();
        reject();
    });
    // The close box and Escape end in reject() with m_result still empty.
}

QString frmNewName::ask(QWidget* parent, NameMode mode)
{
    frmNewName dialog(mode, parent);
    dialog.exec();
    return dialog.result();
}

}  // namespace zephra::browse
