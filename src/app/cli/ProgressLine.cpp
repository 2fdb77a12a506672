#include "app/cli/ProgressLine.h"

#include <cmath>
#include <cstdio>
#include <sys/ioctl.h>
#include <unistd.h>

namespace zephra::cli {

namespace {

constexpr qint64 kRedrawMs = 100;

QString bytesText(qint64 bytes)
{
    static const char* const units[] = {"B", "KiB", "MiB", "GiB", "TiB"};
    double value = double(bytes);
    int unit = 0;
    while (value >= 1024.0 && unit < 4) {
        value /= 1024.0;
        ++unit;
    }
    return unit == 0 ? QStringLiteral("%1 B").arg(bytes)
                     : QStringLiteral("%1 %2").arg(value, 0, 'f', 1).arg(QLatin1String(units[unit]));
}

QString durationText(qint64 seconds)
{
    if (seconds >= 3600)
        return QStringLiteral("%1:%2:%3").arg(seconds / 3600).arg(seconds / 60 % 60, 2, 10, QLatin1Char('0')).arg(seconds % 60, 2, 10, QLatin1Char('0'));
    return QStringLiteral("%1:%2").arg(seconds / 60).arg(seconds % 60, 2, 10, QLatin1Char('0'));
}

int terminalWidth()
{
    winsize size{};
    if (::ioctl(STDERR_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col >= 20)
        return size.ws_col;
    return 80;
}

}  // namespace

ProgressLine::ProgressLine(QString name, bool enabled) : m_name(std::move(name)), m_enabled(enabled)
{
    m_clock.start();
}

ProgressLine::~ProgressLine()
{
    if (!m_enabled)
        return;
    draw();  // the last state, however soon after the previous drawing it came
    std::fputc('\n', stderr);
    std::fflush(stderr);
}

bool ProgressLine::stderrIsTerminal() { return ::isatty(STDERR_FILENO) == 1; }

void ProgressLine::update(qint64 done, qint64 total)
{
    m_done = done;
    m_total = total;
    if (!m_enabled)
        return;
    const qint64 now = m_clock.elapsed();
    if (m_lastDrawMs >= 0 && now - m_lastDrawMs < kRedrawMs && (total < 0 || done < total))
        return;
    m_lastDrawMs = now;
    draw();
}

void ProgressLine::draw()
{
    const double seconds = double(m_clock.elapsed()) / 1000.0;
    const double rate = seconds > 0.0 ? double(m_done) / seconds : 0.0;
    const QByteArray line = format(m_name, m_done, m_total, rate, terminalWidth()).toUtf8();
    std::fprintf(stderr, "\r%s", line.constData());
    std::fflush(stderr);
}

QString ProgressLine::format(const QString& name, qint64 done, qint64 total, double bytesPerSecond, int width)
{
    QString figures = bytesText(done);
    if (total >= 0)
        figures += QStringLiteral(" / %1").arg(bytesText(total));
    figures += QStringLiteral("  %1/s").arg(bytesText(qint64(bytesPerSecond)));
    if (total >= 0 && done >= total)
        figures += QStringLiteral("  done   ");
    else if (total > 0 && bytesPerSecond >= 1.0)
        figures += QStringLiteral("  %1 left").arg(durationText(qint64(std::ceil(double(total - done) / bytesPerSecond))));
    else
        figures += QStringLiteral("  --:-- left");

    // name [#####-----] 42%  figures, the name cut to what the width leaves.
    const int barWidth = 20;
    QString bar;
    if (total > 0) {
        const int percent = int(qMin<qint64>(100, done * 100 / total));
        const int filled = percent * barWidth / 100;
        bar = QStringLiteral(" [%1%2] %3%").arg(QString(filled, u'#'), QString(barWidth - filled, u'-')).arg(percent, 3);
    }
    const int room = width - 1 - int(bar.size()) - 2 - int(figures.size());
    QString shownName = name;
    if (room < 4)
        shownName.clear();
    else if (shownName.size() > room)
        shownName = QStringLiteral("...") + shownName.right(room - 3);
    QString line = shownName + bar + QStringLiteral("  ") + figures;
    if (line.size() < width - 1)
        line += QString(width - 1 - line.size(), u' ');  // covers a longer line drawn before
    return line.left(width - 1);
}

}  // namespace zephra::cli
