// The rules both routes share: what an upload and a download are on the local side, the upload
// rule (the file's own name, what a broken-off upload leaves), and how an ending is reported.
#include "transfer/RemoteRoute.h"

#include "ftp/Listing.h"
#include "transfer/LocalEnds.h"

#include <QTimer>

namespace zephra::transfer {

// What the server holds after an upload that did not complete. Once it has taken the STOR, the
// file under that name holds what arrived; a STOR refused or never sent stored nothing; one that
// broke off before the server answered may have created (or emptied) the file.
QString RemoteRoute::incompleteCopy(const QByteArray& rawName, const WireEnd& end, qint64 size)
{
    const QString name = ftp::decodeServerName(rawName);
    if (end.started || end.bytes > 0) {
        return QStringLiteral("The server now holds an incomplete copy of %1 (%2 of %3 bytes sent).")
            .arg(name)
            .arg(end.bytes)
            .arg(size);
    }
    if (end.refused || !end.commandSent)
        return {};
    return QStringLiteral("The server may now hold an empty copy of %1.").arg(name);
}

RemoteRoute::RemoteRoute(QByteArray directory, QObject* parent) : QObject(parent), m_directory(std::move(directory)) {}

RemoteRoute::~RemoteRoute() = default;

bool RemoteRoute::begin(Op op)
{
    if (m_op == Op::None) {
        m_op = op;
        m_cancelRequested = false;
        return true;
    }
    // Reported later, like every outcome, so callers never see finished() inside their call;
    // the running operation goes on untouched.
    QTimer::singleShot(0, this, [this] { emit finished(Outcome::failure(QStringLiteral("Another operation is still running."))); });
    return false;
}

void RemoteRoute::upload(const QString& localPath, const QByteArray& name, qint64 from)
{
    if (begin(Op::Upload))
        startUpload(localPath, name, nullptr, from);
}

void RemoteRoute::uploadEncrypted(const QString& localPath, const QByteArray& name,
                                  std::shared_ptr<const crypto::Cipher> cipher, qint64 from)
{
    if (!begin(Op::Upload))
        return;
    if (!cipher)
        return finishLater(Outcome::failure(QStringLiteral("No key has been accepted.")));
    startUpload(localPath, name, std::move(cipher), from);
}

void RemoteRoute::download(const QByteArray& name, const QString& localPath, qint64 from)
{
    if (begin(Op::Download))
        startDownload(name, localPath, nullptr, from);
}

void RemoteRoute::downloadDecrypted(const QByteArray& name, const QString& localPath,
                                    std::shared_ptr<const crypto::Cipher> cipher, qint64 from)
{
    if (!begin(Op::Download))
        return;
    if (!cipher)
        return finishLater(Outcome::failure(QStringLiteral("No key has been accepted.")));
    startDownload(name, localPath, std::move(cipher), from);
}

void RemoteRoute::makeDirectory(const QByteArray& name) { startCommand(Command::MakeDirectory, name); }
void RemoteRoute::removeDirectory(const QByteArray& name) { startCommand(Command::RemoveDirectory, name); }
void RemoteRoute::rename(const QByteArray& from, const QByteArray& to) { startCommand(Command::Rename, from, to); }
void RemoteRoute::remove(const QByteArray& name) { startCommand(Command::Remove, name); }

void RemoteRoute::startUpload(const QString& localPath, const QByteArray& name, std::shared_ptr<const crypto::Cipher> cipher,
                              qint64 from)
{
    QString why;
    std::shared_ptr<UploadSource> source = UploadSource::open(localPath, std::move(cipher), from, &why, m_sealed);
    if (!source)
        return finishLater(Outcome::failure(why, Outcome::Failure::LocalFile));
    m_name = name;
    m_uploadSize = source->size();
    m_source = source;
    if (source->isEncrypted())
        emit stageChanged(Stage::Sending);
    send(std::move(source), name);
}

void RemoteRoute::startDownload(const QByteArray& name, const QString& localPath,
                                std::shared_ptr<const crypto::Cipher> cipher, qint64 from)
{
    QString why;
    std::shared_ptr<DownloadTarget> target = DownloadTarget::open(localPath, std::move(cipher), from, &why, m_sealed);
    if (!target)
        return finishLater(Outcome::failure(why, Outcome::Failure::LocalFile));
    m_name = name;
    m_target = target;
    receive(name, std::move(target));
}

void RemoteRoute::startCommand(Command which, const QByteArray& name, const QByteArray& newName)
{
    if (!begin(Op::Command))
        return;
    m_name = name;
    command(which, name, newName);
}

void RemoteRoute::cancel()
{
    if (m_op == Op::None || m_cancelRequested)
        return;
    // Recorded first: whatever the wire or the local file reports from now on (a reader stopped
    // by this cancel fails its read), the ending is a cancel.
    m_cancelRequested = true;
    stop();
}

void RemoteRoute::wireEnded(const WireEnd& end)
{
    if (m_op == Op::None)
        return;
    Outcome outcome = end.ok ? Outcome::success()
                      : (end.cancelled || m_cancelRequested) ? Outcome::cancel()
                                                             : Outcome::failure(end.why, end.kind);
    switch (m_op) {
    case Op::None:
    case Op::Command:
        break;
    case Op::Upload:
        if (!outcome.ok) {
            // A local read failure says more than the server's reaction to the short upload.
            if (!outcome.cancelled && !m_source->errorString().isEmpty()) {
                outcome.message = m_source->errorString();
                outcome.kind = Outcome::Failure::LocalFile;
            }
            outcome.leftBehind = incompleteCopy(m_name, end, m_uploadSize);
        }
        break;
    case Op::Download:
        if (outcome.ok) {
            if (m_target->isDecrypting())
                emit stageChanged(Stage::Decrypting);
            QString why;
            if (!m_target->commit(&why))
                outcome = Outcome::failure(why, Outcome::Failure::LocalFile);
        } else {
            if (!outcome.cancelled && !m_target->errorString().isEmpty()) {
                outcome.message = m_target->errorString();
                outcome.kind = Outcome::Failure::LocalFile;
            }
            // What arrived of a new file stays for a resume; a file that was there is untouched.
            if (const qint64 kept = m_target->keepIncomplete(); kept > 0) {
                outcome.leftBehind = QStringLiteral("An incomplete copy of %1 is kept (%2 bytes); resuming the download "
                                                    "completes it.")
                                         .arg(ftp::decodeServerName(m_name))
                                         .arg(kept);
            }
        }
        break;
    }
    finish(outcome);
}

void RemoteRoute::finishLater(const Outcome& outcome)
{
    QTimer::singleShot(0, this, [this, outcome] { finish(outcome); });
}

void RemoteRoute::finish(const Outcome& outcome)
{
    m_op = Op::None;
    m_cancelRequested = false;
    m_source.reset();
    m_target.reset();
    emit finished(outcome);
}

}  // namespace zephra::transfer
