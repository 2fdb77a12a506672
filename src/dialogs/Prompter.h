#pragma once
// The one way window code asks the user something: message boxes with fixed texts, titles and
// buttons. The window gets a Prompter in its constructor; tests hand it a ScriptedPrompter.

#include <QString>
#include <QStringList>

class QWidget;

namespace zephra::dialogs {

// Title of every message box that has none of its own.
inline const QString kAppTitle = QStringLiteral("ZephraFTP");

class Prompter {
public:
    virtual ~Prompter() = default;
    // One OK button.
    virtual void information(QWidget* parent, const QString& title, const QString& text) = 0;
    virtual void warning(QWidget* parent, const QString& title, const QString& text) = 0;
    // Yes and No; true only for Yes.
    virtual bool question(QWidget* parent, const QString& title, const QString& text) = 0;
    // One button per caption, in order; returns the index of the one pressed, or -1 when the box
    // was closed without one (Escape). details, when given, shows under the text (a certificate's
    // fields, the sizes and dates of two files).
    virtual int choose(QWidget* parent, const QString& title, const QString& text,
                       const QStringList& buttons, const QString& details = QString()) = 0;
};

// Shows real QMessageBoxes.
class MessageBoxPrompter final : public Prompter {
public:
    void information(QWidget* parent, const QString& title, const QString& text) override;
    void warning(QWidget* parent, const QString& title, const QString& text) override;
    bool question(QWidget* parent, const QString& title, const QString& text) override;
    int choose(QWidget* parent, const QString& title, const QString& text, const QStringList& buttons,
               const QString& details = QString()) override;
};

}  // namespace zephra::dialogs
