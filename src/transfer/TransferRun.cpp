#include "transfer/TransferRun.h"

#include "ftp/Listing.h"

#include <QFile>
#include <QFileInfo>
#include <QTimer>

namespace zephra::transfer {

namespace {

const QString kReady = QStringLiteral("Ready...");

QString firstStatus(TransferItem::Kind kind)
{
    using Kind = TransferItem::Kind;
    switch (kind) {
    case Kind::Upload: return QStringLiteral("Sending ");
    case Kind::UploadEncrypted: return QStringLiteral("Encrypting ");
    case Kind::Download:
    case Kind::DownloadDecrypted: return QStringLiteral("Receiving ");
    case Kind::Remove: return QStringLiteral("Deleting ");
    case Kind::Rename:
    case Kind::MakeDirectory:
    case Kind::RemoveDirectory: return {};
    }
    return {};
}

}  // namespace

QByteArray TransferItem::serverName() const
{
    if (!rawName.isEmpty())
        return rawName;
    if (kind == Kind::Upload || kind == Kind::UploadEncrypted)
        return QFile::encodeName(name);
    return name.toUtf8();
}

QString RunSummary::report(const QString& what) const
{
    if (failures.isEmpty() && !cancelled)
        return {};
    QStringList lines;
    if (!failures.isEmpty()) {
        lines << (failures.size() == 1 ? QStringLiteral("%1 failed for one file:").arg(what)
                                       : QStringLiteral("%1 failed for %2 files:").arg(what).arg(failures.size()));
        for (const Failure& failure : failures)
            lines << QStringLiteral("%1: %2").arg(failure.name, failure.reason);
    }
    if (cancelled) {
        lines << (skipped == 0 ? QStringLiteral("%1 was cancelled.").arg(what)
                               : QStringLiteral("%1 was cancelled; %2 more file(s) were not started.").arg(what).arg(skipped));
    }
    for (const Failure& left : leftBehind)
        lines << QStringLiteral("%1: %2").arg(left.name, left.reason);
    return lines.join(u'\n');
}

TransferRun::TransferRun(RemoteRoute& route, QList<TransferItem> items, std::shared_ptr<const crypto::Cipher> cipher,
                         QObject* parent)
    : QObject(parent), m_route(route), m_items(std::move(items)), m_cipher(std::move(cipher))
{
    for (TransferItem& item : m_items) {
        if ((item.kind == TransferItem::Kind::Upload || item.kind == TransferItem::Kind::UploadEncrypted) && item.size < 0) {
            const QFileInfo info(item.localPath);
            if (info.isFile())
                item.size = info.size();
        }
        if (!item.isTransfer())
            continue;
        if (item.size < 0 || m_totalBytes < 0)
            m_totalBytes = -1;
        else
            m_totalBytes += item.size;
    }
    connect(&m_route, &RemoteRoute::stageChanged, this, &TransferRun::onStage);
    connect(&m_route, &RemoteRoute::progress, this, &TransferRun::onProgress);
    connect(&m_route, &RemoteRoute::finished, this, &TransferRun::onFinished);
}

TransferRun::~TransferRun()
{
    disconnect(&m_route, nullptr, this, nullptr);
    if (isRunning())
        m_route.cancel();
}

void TransferRun::start()
{
    if (m_index >= 0)
        return;
    m_clock.start();
    for (int i = 0; i < m_items.size(); ++i)
        emitState(i, FileState::Queued);
    next();
}

void TransferRun::emitState(int index, FileState state, qint64 done, const QString& reason)
{
    const TransferItem& item = m_items.at(index);
    emit fileStateChanged(index, item.name, state, done, item.size, reason);
}

void TransferRun::cancel()
{
    if (!isRunning() || m_cancelled)
        return;
    m_cancelled = true;
    m_route.cancel();
}

void TransferRun::next()
{
    ++m_index;
    if (m_index >= m_items.size())
        return end();
    TransferItem& item = m_items[m_index];
    const auto cancelRest = [this] {
        m_summary.skipped = int(m_items.size()) - m_index;
        for (int i = m_index; i < m_items.size(); ++i)
            emitState(i, FileState::Skipped, 0, QStringLiteral("Not started: the command was cancelled."));
        end();
    };
    if (m_cancelled)
        return cancelRest();
    m_itemBytes = 0;

    using Kind = TransferItem::Kind;
    const auto failNow = [this](const QString& why) {
        // Reported like any failure; the next item runs at once.
        m_summary.failures.append({m_items.at(m_index).name, why});
        emitState(m_index, FileState::Failed, 0, why);
        QTimer::singleShot(0, this, &TransferRun::next);
    };
    const bool download = item.kind == Kind::Download || item.kind == Kind::DownloadDecrypted;
    if (download && !ftp::isSafeLocalName(item.name))
        return failNow(QStringLiteral("The server's name cannot be used as a local file name."));
    if (item.isEncrypted() && !m_cipher)
        return failNow(QStringLiteral("No key has been accepted."));
    if (item.isTransfer() && m_beforeItem) {
        const ItemDecision decision = m_beforeItem(item);
        using Action = ItemDecision::Action;
        if (decision.action == Action::Cancel || m_cancelled) {
            m_cancelled = true;
            return cancelRest();
        }
        if (decision.action == Action::Skip) {
            m_summary.declined.append(item.name);
            emitState(m_index, FileState::Skipped, 0, QStringLiteral("Skipped: the file exists."));
            QTimer::singleShot(0, this, &TransferRun::next);
            return;
        }
        item.offset = decision.action == Action::Resume ? decision.offset : 0;
    }
    m_resumedBytes += item.offset;
    m_itemBytes = item.offset;
    if (const QString status = firstStatus(item.kind); !status.isEmpty())
        emit statusText(status + item.name);
    emit progress(m_finishedBytes + item.offset, m_totalBytes, item.name, 0.0);
    emitState(m_index, FileState::Running, item.offset);

    const QByteArray name = item.serverName();
    switch (item.kind) {
    case Kind::Upload: return m_route.upload(item.localPath, name, item.offset);
    case Kind::UploadEncrypted: return m_route.uploadEncrypted(item.localPath, name, m_cipher, item.offset);
    case Kind::Download: return m_route.download(name, item.localPath, item.offset);
    case Kind::DownloadDecrypted: return m_route.downloadDecrypted(name, item.localPath, m_cipher, item.offset);
    case Kind::Remove: return m_route.remove(name);
    case Kind::Rename: return m_route.rename(name, item.newName.toUtf8());
    case Kind::MakeDirectory: return m_route.makeDirectory(name);
    case Kind::RemoveDirectory: return m_route.removeDirectory(name);
    }
}

void TransferRun::onStage(RemoteRoute::Stage stage)
{
    if (!isRunning())
        return;
    const QString& name = m_items.at(m_index).name;
    emit statusText((stage == RemoteRoute::Stage::Sending ? QStringLiteral("Sending ") : QStringLiteral("Decrypting "))
                    + name);
}

void TransferRun::onProgress(qint64 done, qint64 /*total*/)
{
    if (!isRunning())
        return;
    m_itemBytes = done;
    const qint64 moved = m_finishedBytes + done;
    const qint64 ms = m_clock.elapsed();
    // A few reports a second are enough for a person; one per block would keep the window busy.
    // The first bytes of a file are reported at once.
    if (ms - m_lastReportMs < kReportIntervalMs && !(m_reportedBytes <= m_finishedBytes && done > 0))
        return;
    m_lastReportMs = ms;
    m_reportedBytes = moved;
    const qint64 carried = moved - m_resumedBytes;  // what actually moved in this run
    emit progress(moved, m_totalBytes, m_items.at(m_index).name, ms > 0 ? carried * 1000.0 / double(ms) : 0.0);
    emitState(m_index, FileState::Running, done);
}

void TransferRun::onFinished(const Outcome& outcome)
{
    if (!isRunning())
        return;
    const TransferItem& item = m_items.at(m_index);
    if (outcome.ok) {
        ++m_summary.succeeded;
        emitState(m_index, FileState::Done, item.size > 0 ? item.size : m_itemBytes);
    } else if (outcome.cancelled) {
        m_cancelled = true;
        m_summary.cancelled = true;
        if (!outcome.leftBehind.isEmpty())
            m_summary.leftBehind.append({item.name, outcome.leftBehind});
        emitState(m_index, FileState::Cancelled, m_itemBytes, outcome.leftBehind);
    } else {
        m_summary.failures.append({item.name, outcome.text()});
        emitState(m_index, FileState::Failed, m_itemBytes, outcome.text());
    }
    m_finishedBytes += item.size > 0 ? item.size : m_itemBytes;
    using Kind = TransferItem::Kind;
    if (item.kind == Kind::Upload || item.kind == Kind::Download || item.kind == Kind::Remove)
        emit statusText(kReady);
    // From the event loop: the next item may ask a question (a modal box) first, which must not
    // run inside the route's finished() signal.
    QTimer::singleShot(0, this, &TransferRun::next);
}

void TransferRun::end()
{
    m_done = true;
    if (m_cancelled)
        m_summary.cancelled = true;
    emit statusText(kReady);
    emit finished(m_summary);
}

}  // namespace zephra::transfer
