#pragma once
// The transfer list: each file of the running and the past transfer commands with where it
// stands (queued, running with its percent, done, failed with the reason, cancelled, skipped),
// one branch per command, newest last. "Retry failed" runs the failed files of the chosen
// command again, in the same direction and with the same encryption.
//
// Bounded: the last kMaxCommands commands are kept.

#include "transfer/TransferRun.h"

#include <QByteArray>
#include <QList>
#include <QWidget>

#include <functional>

class QPushButton;
class QTreeWidget;
class QTreeWidgetItem;

namespace zephra::app {

class TransferListPane final : public QWidget {
    Q_OBJECT
public:
    static constexpr int kMaxCommands = 50;
    enum Column { NameColumn, StateColumn, SizeColumn, DetailColumn };

    explicit TransferListPane(QWidget* parent = nullptr);

    // A transfer command starts; `what` names it ("The upload"), serverDirectory is where its
    // names are. Commands that are not transfers (delete, rename) are not listed.
    void addRun(const QString& what, transfer::TransferRun* run, const QByteArray& serverDirectory);
    // While the session is busy nothing can be retried.
    void setBusy(bool busy);
    // Asked before a retry starts, with the server directory the command ran in: false keeps
    // the files as failed and not retried (the caller says why), so they can be retried later.
    void setRetryCheck(std::function<bool(const QByteArray& serverDirectory)> check) { m_retryCheck = std::move(check); }

    QTreeWidget* tree() const { return m_tree; }
    QPushButton* retryButton() const { return m_retry; }
    // The command Retry failed acts on: the one selected (or of the file selected), else the
    // newest command with a failure; -1 when none.
    int retryTarget() const;
    // The failed items of a command not yet retried, as they were given to it.
    QList<transfer::TransferItem> failedItems(int command) const;

signals:
    // Retry failed: these items, in the server directory the command ran in.
    void retryRequested(const QList<zephra::transfer::TransferItem>& items, const QByteArray& serverDirectory);

private:
    std::function<bool(const QByteArray&)> m_retryCheck;
    struct Command {
        QString what;
        QByteArray serverDirectory;
        QList<transfer::TransferItem> items;
        QList<transfer::TransferRun::FileState> states;
        QList<bool> retried;  // a failed file handed to Retry failed is not offered again
        QTreeWidgetItem* node = nullptr;
        bool running = true;
    };

    void onFileState(Command* command, int index, transfer::TransferRun::FileState state, qint64 done, qint64 total,
                     const QString& reason);
    void updateSummary(Command& command);
    void updateRetry();

    QTreeWidget* m_tree = nullptr;
    QPushButton* m_retry = nullptr;
    QList<std::shared_ptr<Command>> m_commands;
    bool m_busy = false;
};

}  // namespace zephra::app
