#pragma once
// One command of the window over a selection of files: the items run one after another over a
// RemoteRoute; a failed item is noted and the next one runs; cancel() stops the running item and
// skips the rest. At the end finished() carries every failure with its reason, so nothing fails
// silently.
//
// Status texts, in their fixed order per item:
//   upload "Sending N" · encrypted upload "Encrypting N", "Sending N" · download "Receiving N" ·
//   encrypted download "Receiving N", "Decrypting N" · delete "Deleting N".
// After each plain transfer and delete the status returns to "Ready..."; the encrypted commands
// return to it once, after the last item.

#include "transfer/RemoteRoute.h"

#include <QElapsedTimer>
#include <QList>
#include <QObject>
#include <QString>

#include <functional>
#include <memory>

namespace zephra::transfer {

struct TransferItem {
    enum class Kind { Upload, UploadEncrypted, Download, DownloadDecrypted, Remove, Rename, MakeDirectory, RemoveDirectory };
    Kind kind = Kind::Upload;
    QString name;        // the bare name as shown (status texts, the report)
    QString localPath;   // uploads: the file sent; downloads: the file written
    QString newName;     // Rename: the new bare name as typed (sent as UTF-8)
    qint64 size = -1;    // bytes to move, -1 when unknown (uploads: taken from the file)
    QByteArray rawName;  // the server's bytes for name (a listing entry's); empty: taken from name
    // A resumed transfer's first byte: the target (the local file of a download, the server's
    // copy of an upload) holds the bytes before it already. 0: the whole file.
    qint64 offset = 0;

    bool isTransfer() const { return kind <= Kind::DownloadDecrypted; }
    // What is sent for name: rawName, else an upload's local file name as its own bytes, else
    // name as UTF-8 (typed).
    QByteArray serverName() const;
    bool isEncrypted() const { return kind == Kind::UploadEncrypted || kind == Kind::DownloadDecrypted; }
};

// What happens to an item whose target exists, as the person at the keyboard decided.
struct ItemDecision {
    enum class Action { Transfer, Resume, Skip, Cancel };
    Action action = Action::Transfer;
    qint64 offset = 0;  // Resume: the bytes the target holds already
};

struct RunSummary {
    struct Failure {
        QString name;
        QString reason;
    };
    int succeeded = 0;
    int skipped = 0;        // not started because the run was cancelled
    QStringList declined;   // not transferred because the person chose Skip for them
    bool cancelled = false;
    QList<Failure> failures;  // each reason says what a failed upload left on the server
    // What a cancelled upload left on the server (an incomplete copy under its own name).
    QList<Failure> leftBehind;

    bool ok() const { return failures.isEmpty() && !cancelled; }
    // The text of the one message at the end: every failed file and why; empty when all went well.
    QString report(const QString& what) const;
};

class TransferRun final : public QObject {
    Q_OBJECT
public:
    // Where one item of the run stands (fileStateChanged).
    enum class FileState {
        Queued,     // not started yet
        Running,    // moving; done and total say how far (a resume's first bytes included)
        Done,
        Failed,     // reason says why
        Cancelled,  // stopped while it ran
        Skipped,    // never started: the run was cancelled before it, or the person chose Skip
    };
    Q_ENUM(FileState)

    // cipher: needed by the encrypted kinds.
    TransferRun(RemoteRoute& route, QList<TransferItem> items,
                std::shared_ptr<const crypto::Cipher> cipher = {}, QObject* parent = nullptr);
    ~TransferRun() override;

    // Asked on this (the window's) thread before each transfer starts, so a question about an
    // existing target comes before anything is written. Without one every item is transferred.
    void setBeforeItem(std::function<ItemDecision(const TransferItem&)> check) { m_beforeItem = std::move(check); }

    void start();
    void cancel();
    bool isRunning() const { return m_index >= 0 && !m_done; }
    const QList<TransferItem>& items() const { return m_items; }
    qint64 totalBytes() const { return m_totalBytes; }

signals:
    void statusText(const QString& text);
    // Bytes moved of the whole selection, the total (-1 when not all sizes are known), the name
    // of the file moving now and the rate so far.
    void progress(qint64 done, qint64 total, const QString& current, double bytesPerSecond);
    void finished(const zephra::transfer::RunSummary& summary);
    // Each item by its index in items(): Queued for all at start(), then Running (again as bytes
    // move, a few times a second), then one of Done, Failed (with the reason), Cancelled or
    // Skipped. total is the item's size, -1 when unknown.
    void fileStateChanged(int index, const QString& name, zephra::transfer::TransferRun::FileState state,
                          qint64 done, qint64 total, const QString& reason);

private:
    void next();
    void onStage(RemoteRoute::Stage stage);
    void onProgress(qint64 done, qint64 total);
    void onFinished(const Outcome& outcome);
    void end();
    void emitState(int index, FileState state, qint64 done = 0, const QString& reason = {});

    RemoteRoute& m_route;
    QList<TransferItem> m_items;
    std::shared_ptr<const crypto::Cipher> m_cipher;
    int m_index = -1;
    bool m_done = false;
    bool m_cancelled = false;
    qint64 m_totalBytes = 0;  // -1 when a size is unknown
    qint64 m_finishedBytes = 0;
    qint64 m_itemBytes = 0;
    static constexpr qint64 kReportIntervalMs = 100;
    QElapsedTimer m_clock;
    qint64 m_lastReportMs = -kReportIntervalMs;
    qint64 m_reportedBytes = 0;  // the bytes of the last report
    qint64 m_resumedBytes = 0;  // already at their targets when resumed: not part of the rate
    std::function<ItemDecision(const TransferItem&)> m_beforeItem;
    RunSummary m_summary;
};

}  // namespace zephra::transfer

Q_DECLARE_METATYPE(zephra::transfer::RunSummary)
