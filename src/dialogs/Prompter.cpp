#include "dialogs/Prompter.h"

#include <QAbstractButton>
#include <QMessageBox>
#include <QPushButton>

namespace zephra::dialogs {

void MessageBoxPrompter::information(QWidget* parent, const QString& title, const QString& text)
{
    QMessageBox::information(parent, title, text, QMessageBox::Ok);
}

void MessageBoxPrompter::warning(QWidget* parent, const QString& title, const QString& text)
{
    QMessageBox::warning(parent, title, text, QMessageBox::Ok);
}

bool MessageBoxPrompter::question(QWidget* parent, const QString& title, const QString& text)
{
    return QMessageBox::question(parent, title, text, QMessageBox::Yes | QMessageBox::No, QMessageBox::No)
        == QMessageBox::Yes;
}

int MessageBoxPrompter::choose(QWidget* parent, const QString& title, const QString& text,
                               const QStringList& buttons, const QString& details)
{
    QMessageBox box(QMessageBox::Question, title, text, QMessageBox::NoButton, parent);
    if (!details.isEmpty())
        box.setInformativeText(details);
    QList<QAbstractButton*> added;
    for (const QString& caption : buttons)
        added.append(box.addButton(caption, QMessageBox::ActionRole));
    box.exec();
    return int(added.indexOf(box.clickedButton()));
}

}  // namespace zephra::dialogs
