#pragma once
// The protocol log: every command and reply of the session on either route, time-stamped, the
// password shown as "PASS ****", and the errors the window reports in its messages. Bounded in
// memory: the last kMaxLines lines, each cut at kMaxLineChars characters, so a long session or a
// hostile server's endless reply cannot grow it without end.
//
// Lines are gathered and shown a few times a second: a server that answers a thousand commands
// a second costs the window one repaint per batch, not one per line.

#include <QStringList>
#include <QTimer>
#include <QWidget>

class QPlainTextEdit;
class QPushButton;

namespace zephra::app {

class LogPane final : public QWidget {
    Q_OBJECT
public:
    static constexpr int kMaxLines = 5000;
    static constexpr int kMaxLineChars = 1000;

    explicit LogPane(QWidget* parent = nullptr);

    // A line of the conversation (sent: a command; else a reply line).
    void addProtocolLine(const QString& line, bool sent);
    // An error as the window reports it: each of its lines, marked "!".
    void addError(const QString& text);
    // Shows what is gathered now (the timer does it otherwise).
    void flush();
    void clear();

    // The lines shown, oldest first (after flush()).
    QStringList lines() const;
    QPlainTextEdit* view() const { return m_view; }

private:
    void add(QString line);

    QPlainTextEdit* m_view = nullptr;
    QPushButton* m_clear = nullptr;
    QStringList m_pending;
    QTimer m_flushTimer;
};

}  // namespace zephra::app
