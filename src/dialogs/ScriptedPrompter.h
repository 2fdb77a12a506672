#pragma once
// A Prompter for tests: records every message and answers questions from a queue.

#include "dialogs/Prompter.h"

#include <QList>
#include <QQueue>

namespace zephra::dialogs {

class ScriptedPrompter final : public Prompter {
public:
    enum class Kind { Information, Warning, Question, Choice };
    struct Asked {
        Kind kind;
        QString title;
        QString text;
        QStringList buttons = {};  // a Choice's captions
        QString details = {};
    };

    // Answers for the coming questions, in order; a question with none queued gets No.
    void queueAnswer(bool yes) { m_answers.enqueue(yes); }
    // Answers for the coming choices, by caption; a choice with none queued, or whose queued
    // caption is not among its buttons, is closed without an answer (-1).
    void queueChoice(const QString& caption) { m_choices.enqueue(caption); }
    int pendingChoices() const { return int(m_choices.size()); }

    const QList<Asked>& asked() const { return m_asked; }
    qsizetype count() const { return m_asked.size(); }
    const Asked& last() const { return m_asked.constLast(); }
    int pendingAnswers() const { return int(m_answers.size()); }
    void clear() { m_asked.clear(); m_answers.clear(); m_choices.clear(); }

    void information(QWidget*, const QString& title, const QString& text) override
    {
        m_asked.append({Kind::Information, title, text});
    }
    void warning(QWidget*, const QString& title, const QString& text) override
    {
        m_asked.append({Kind::Warning, title, text});
    }
    bool question(QWidget*, const QString& title, const QString& text) override
    {
        m_asked.append({Kind::Question, title, text});
        return m_answers.isEmpty() ? false : m_answers.dequeue();
    }

    int choose(QWidget*, const QString& title, const QString& text, const QStringList& buttons,
               const QString& details = QString()) override
    {
        m_asked.append({Kind::Choice, title, text, buttons, details});
        return m_choices.isEmpty() ? -1 : int(buttons.indexOf(m_choices.dequeue()));
    }

private:
    QList<Asked> m_asked;
    QQueue<bool> m_answers;
    QQueue<QString> m_choices;
};

}  // namespace zephra::dialogs
