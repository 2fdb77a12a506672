#include "app/LogPane.h"

#include "ftp/ProtocolLog.h"

#include <QFontDatabase>
#include <QHBoxLayout>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScrollBar>
#include <QTextBlock>
#include <QTime>
#include <QVBoxLayout>

namespace zephra::app {

namespace {
constexpr int kFlushIntervalMs = 150;
}

LogPane::LogPane(QWidget* parent) : QWidget(parent)
{
    setObjectName(QStringLiteral("paneLog"));
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    auto* head = new QHBoxLayout;
    auto* caption = new QLabel(QStringLiteral("Protocol log"), this);
    caption->setObjectName(QStringLiteral("lblLog"));
    m_clear = new QPushButton(QStringLiteral("Clear"), this);
    m_clear->setObjectName(QStringLiteral("cmdClearLog"));
    head->addWidget(caption, 1);
    head->addWidget(m_clear);
    layout->addLayout(head);

    m_view = new QPlainTextEdit(this);
    m_view->setObjectName(QStringLiteral("txtLog"));
    m_view->setReadOnly(true);
    m_view->setLineWrapMode(QPlainTextEdit::NoWrap);
    m_view->setMaximumBlockCount(kMaxLines);  // the oldest lines go first
    m_view->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
    m_view->setUndoRedoEnabled(false);
    layout->addWidget(m_view, 1);

    m_flushTimer.setSingleShot(true);
    m_flushTimer.setInterval(kFlushIntervalMs);
    connect(&m_flushTimer, &QTimer::timeout, this, &LogPane::flush);
    connect(m_clear, &QPushButton::clicked, this, &LogPane::clear);
}

void LogPane::addProtocolLine(const QString& line, bool sent)
{
    add(ftp::protocolLogLine(line, sent, QTime::currentTime()));
}

void LogPane::addError(const QString& text)
{
    const QString stamp = QTime::currentTime().toString(QStringLiteral("HH:mm:ss"));
    for (const QString& line : text.split(u'\n', Qt::SkipEmptyParts))
        add(stamp + QStringLiteral(" ! ") + line);
}

void LogPane::add(QString line)
{
    // A line break inside a server's line would start a line of its own that looks like ours.
    line.replace(u'\r', u' ').replace(u'\n', u' ');
    if (line.size() > kMaxLineChars)
        line = line.left(kMaxLineChars - 1) + QChar(0x2026);
    m_pending.append(line);
    // What cannot be shown anyway is not kept waiting either.
    if (m_pending.size() > kMaxLines)
        m_pending.remove(0, m_pending.size() - kMaxLines);
    if (!m_flushTimer.isActive())
        m_flushTimer.start();
}

void LogPane::flush()
{
    m_flushTimer.stop();
    if (m_pending.isEmpty())
        return;
    QScrollBar* bar = m_view->verticalScrollBar();
    const bool atEnd = bar->value() == bar->maximum();
    m_view->appendPlainText(m_pending.join(u'\n'));
    m_pending.clear();
    // Someone reading further up keeps their place; otherwise the newest line stays in sight.
    if (atEnd)
        bar->setValue(bar->maximum());
}

void LogPane::clear()
{
    m_pending.clear();
    m_view->clear();
}

QStringList LogPane::lines() const
{
    QStringList out;
    for (QTextBlock block = m_view->document()->begin(); block.isValid(); block = block.next())
        out.append(block.text());
    if (out.size() == 1 && out.first().isEmpty())
        return {};
    return out;
}

}  // namespace zephra::app
