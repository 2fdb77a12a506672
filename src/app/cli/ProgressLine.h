#pragma once
// The one-line progress bar of get and put on a terminal's standard error: the name, a bar,
// bytes so far (of the total when known), the rate and the time left. Redrawn in place at most
// ten times a second; the last state is always drawn, so a finished transfer shows its total.

#include <QElapsedTimer>
#include <QString>

namespace zephra::cli {

class ProgressLine {
public:
    // Draws only when enabled (a terminal on stderr and no --quiet).
    ProgressLine(QString name, bool enabled);
    ~ProgressLine();  // ends the line, so what follows starts on a line of its own
    ProgressLine(const ProgressLine&) = delete;
    ProgressLine& operator=(const ProgressLine&) = delete;

    // total -1 when unknown.
    void update(qint64 done, qint64 total);

    // The line for a state, without the carriage return; width is the terminal's.
    static QString format(const QString& name, qint64 done, qint64 total, double bytesPerSecond, int width);
    // Whether stderr is a terminal.
    static bool stderrIsTerminal();

private:
    void draw();

    QString m_name;
    bool m_enabled = false;
    qint64 m_done = 0;
    qint64 m_total = -1;
    qint64 m_lastDrawMs = -1;
    QElapsedTimer m_clock;
};

}  // namespace zephra::cli
