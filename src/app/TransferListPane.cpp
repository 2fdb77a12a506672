#include "app/TransferListPane.h"

#include "browse/FileListModel.h"

#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QPushButton>
#include <QTime>
#include <QTreeWidget>
#include <QVBoxLayout>

namespace zephra::app {

using transfer::TransferItem;
using FileState = transfer::TransferRun::FileState;

namespace {

QString stateText(FileState state, qint64 done, qint64 total)
{
    switch (state) {
    case FileState::Queued: return QStringLiteral("queued");
    case FileState::Running:
        if (total > 0)
            return QStringLiteral("running %1%").arg(std::min<qint64>(100, done * 100 / total));
        return QStringLiteral("running");
    case FileState::Done: return QStringLiteral("done");
    case FileState::Failed: return QStringLiteral("failed");
    case FileState::Cancelled: return QStringLiteral("cancelled");
    case FileState::Skipped: return QStringLiteral("skipped");
    }
    return {};
}

}  // namespace

TransferListPane::TransferListPane(QWidget* parent) : QWidget(parent)
{
    setObjectName(QStringLiteral("paneTransfers"));
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    auto* head = new QHBoxLayout;
    auto* caption = new QLabel(QStringLiteral("Transfers"), this);
    caption->setObjectName(QStringLiteral("lblTransfers"));
    m_retry = new QPushButton(QStringLiteral("Retry failed"), this);
    m_retry->setObjectName(QStringLiteral("cmdRetryFailed"));
    m_retry->setEnabled(false);
    head->addWidget(caption, 1);
    head->addWidget(m_retry);
    layout->addLayout(head);

    m_tree = new QTreeWidget(this);
    m_tree->setObjectName(QStringLiteral("lstTransfers"));
    m_tree->setHeaderLabels({QStringLiteral("File"), QStringLiteral("State"), QStringLiteral("Size"), QStringLiteral("Details")});
    m_tree->setRootIsDecorated(true);
    m_tree->setUniformRowHeights(true);
    m_tree->header()->setStretchLastSection(true);
    m_tree->setColumnWidth(NameColumn, 180);
    m_tree->setColumnWidth(StateColumn, 90);
    m_tree->setColumnWidth(SizeColumn, 90);
    layout->addWidget(m_tree, 1);

    connect(m_tree, &QTreeWidget::currentItemChanged, this, &TransferListPane::updateRetry);
    connect(m_retry, &QPushButton::clicked, this, [this] {
        const int target = retryTarget();
        if (target < 0)
            return;
        const QList<TransferItem> items = failedItems(target);
        if (items.isEmpty())
            return;
        // Copied first: the retry may start a command that pushes this one off the list.
        const std::shared_ptr<Command> command = m_commands.at(target);
        if (m_retryCheck && !m_retryCheck(command->serverDirectory))
            return;
        for (int i = 0; i < command->states.size(); ++i) {
            if (command->states.at(i) == FileState::Failed && !command->retried.at(i)) {
                command->retried[i] = true;
                command->node->child(i)->setText(StateColumn, QStringLiteral("failed, retried"));
            }
        }
        emit retryRequested(items, command->serverDirectory);
        updateRetry();
    });
}

void TransferListPane::addRun(const QString& what, transfer::TransferRun* run, const QByteArray& serverDirectory)
{
    const QList<TransferItem>& items = run->items();
    if (items.isEmpty() || !std::all_of(items.begin(), items.end(), [](const TransferItem& i) { return i.isTransfer(); }))
        return;
    while (m_commands.size() >= kMaxCommands) {
        delete m_commands.first()->node;
        m_commands.removeFirst();
    }
    auto command = std::make_shared<Command>();
    command->what = what;
    command->serverDirectory = serverDirectory;
    command->items = items;
    command->states = QList<FileState>(items.size(), FileState::Queued);
    command->retried = QList<bool>(items.size(), false);
    command->node = new QTreeWidgetItem(m_tree);
    command->node->setText(NameColumn, QStringLiteral("%1, %2").arg(what, QTime::currentTime().toString(QStringLiteral("HH:mm:ss"))));
    command->node->setFirstColumnSpanned(false);
    for (const TransferItem& item : items) {
        auto* row = new QTreeWidgetItem(command->node);
        row->setText(NameColumn, item.name);
        row->setText(StateColumn, stateText(FileState::Queued, 0, item.size));
        row->setText(SizeColumn, item.size >= 0 ? browse::formatSize(item.size) : QString());
        row->setTextAlignment(SizeColumn, Qt::AlignRight | Qt::AlignVCenter);
        row->setToolTip(NameColumn, item.localPath);
    }
    command->node->setExpanded(true);
    m_commands.append(command);
    updateSummary(*command);

    // The run ends before the pane does; the command outlives it.
    Command* raw = command.get();
    connect(run, &transfer::TransferRun::fileStateChanged, this,
            [this, raw](int index, const QString&, FileState state, qint64 done, qint64 total, const QString& reason) {
                onFileState(raw, index, state, done, total, reason);
            });
    connect(run, &transfer::TransferRun::finished, this, [this, weak = std::weak_ptr<Command>(command)] {
        if (const auto command = weak.lock()) {
            command->running = false;
            updateSummary(*command);
        }
        updateRetry();
    });
    m_tree->scrollToItem(command->node->child(0) ? command->node->child(0) : command->node);
    updateRetry();
}

void TransferListPane::onFileState(Command* command, int index, FileState state, qint64 done, qint64 total,
                                   const QString& reason)
{
    // A command dropped off the list (more than kMaxCommands since) is no longer shown.
    if (std::none_of(m_commands.begin(), m_commands.end(), [command](const auto& c) { return c.get() == command; }))
        return;
    if (index < 0 || index >= command->states.size())
        return;
    const FileState before = command->states.at(index);
    command->states[index] = state;
    QTreeWidgetItem* row = command->node->child(index);
    row->setText(StateColumn, stateText(state, done, total));
    if (state == FileState::Failed || state == FileState::Cancelled)
        row->setText(DetailColumn, reason);
    else if (state == FileState::Running || state == FileState::Done)
        row->setText(DetailColumn, QString());
    row->setToolTip(DetailColumn, reason);
    if (state == FileState::Running && before != FileState::Running)
        m_tree->scrollToItem(row);
    if (before != state)
        updateSummary(*command);
}

void TransferListPane::updateSummary(Command& command)
{
    int done = 0, failed = 0, cancelled = 0;
    for (FileState s : std::as_const(command.states)) {
        done += s == FileState::Done;
        failed += s == FileState::Failed;
        cancelled += s == FileState::Cancelled || s == FileState::Skipped;
    }
    QStringList parts;
    if (command.running)
        parts << QStringLiteral("running");
    parts << QStringLiteral("%1 of %2 done").arg(done).arg(command.states.size());
    if (failed)
        parts << QStringLiteral("%1 failed").arg(failed);
    if (cancelled)
        parts << QStringLiteral("%1 cancelled").arg(cancelled);
    command.node->setText(StateColumn, command.running ? QStringLiteral("running") : (failed ? QStringLiteral("failed")
                                                         : cancelled ? QStringLiteral("cancelled") : QStringLiteral("done")));
    command.node->setText(DetailColumn, parts.join(QStringLiteral(", ")));
}

void TransferListPane::setBusy(bool busy)
{
    m_busy = busy;
    updateRetry();
}

int TransferListPane::retryTarget() const
{
    if (QTreeWidgetItem* current = m_tree->currentItem()) {
        QTreeWidgetItem* node = current->parent() ? current->parent() : current;
        for (int i = 0; i < m_commands.size(); ++i)
            if (m_commands.at(i)->node == node)
                return failedItems(i).isEmpty() ? -1 : i;
    }
    for (int i = int(m_commands.size()) - 1; i >= 0; --i)
        if (!m_commands.at(i)->running && !failedItems(i).isEmpty())
            return i;
    return -1;
}

QList<TransferItem> TransferListPane::failedItems(int command) const
{
    QList<TransferItem> items;
    if (command < 0 || command >= m_commands.size() || m_commands.at(command)->running)
        return items;
    const Command& c = *m_commands.at(command);
    for (int i = 0; i < c.items.size(); ++i)
        if (c.states.at(i) == FileState::Failed && !c.retried.at(i))
            items.append(c.items.at(i));
    return items;
}

void TransferListPane::updateRetry()
{
    m_retry->setEnabled(!m_busy && retryTarget() >= 0);
}

}  // namespace zephra::app
