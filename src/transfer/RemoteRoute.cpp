// The rules both routes share: what an upload and a download are on the local side, the upload
// rule (the file's own name, what a broken-off upload leaves), and how an ending is reported.
#include "transfer/RemoteRoute.h"

#include "crypto/sealed/KeyRing.h"
#include "crypto/sealed/SealedKeys.h"
#include "ftp/Listing.h"
#include "transfer/LocalEnds.h"

#include <QFileInfo>
#include <QThread>
#include <QTimer>

#include <algorithm>
#include <span>

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

void RemoteRoute::peek(const QByteArray& name, qint64 n)
{
    if (m_op != Op::None) {
        QTimer::singleShot(0, this, [this] {
            emit peeked(Outcome::failure(QStringLiteral("Another operation is still running.")), {});
        });
        return;
    }
    m_op = Op::Peek;
    m_cancelRequested = false;
    m_name = name;
    fetchFirst(name, n);
}

void RemoteRoute::startUpload(const QString& localPath, const QByteArray& name, std::shared_ptr<const crypto::Cipher> cipher,
                              qint64 from)
{
    if (cipher && m_sealed.sealUploads && from > 0) {
        // Resealing goes on under the header the server holds: read it first.
        m_name = name;
        m_pending = PendingResume{true, localPath, std::move(cipher), from};
        return fetchFirst(name, qint64(crypto::sealed::kHeaderSize));
    }
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
    if (cipher && m_sealed.keys && from > 0) {
        // Which format, and a sealed file's key, show only in its first bytes: read them first.
        m_name = name;
        m_pending = PendingResume{false, localPath, std::move(cipher), from};
        return fetchFirst(name, qint64(crypto::sealed::kHeaderSize));
    }
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
    if (m_op == Op::Peek) {
        const Outcome outcome = end.ok ? Outcome::success()
                                : (end.cancelled || m_cancelRequested) ? Outcome::cancel()
                                                                       : Outcome::failure(end.why, end.kind);
        m_op = Op::None;
        m_cancelRequested = false;
        emit peeked(outcome, outcome.ok ? end.firstBytes : QByteArray());
        return;
    }
    if (m_pending)
        return headerRead(end);
    Outcome outcome = end.ok ? Outcome::success()
                      : (end.cancelled || m_cancelRequested) ? Outcome::cancel()
                                                             : Outcome::failure(end.why, end.kind);
    switch (m_op) {
    case Op::None:
    case Op::Command:
    case Op::Peek:
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

// ---------------------------------------------------------------------------------------------
// Resuming in the sealed format: the server copy's header first.

namespace {

namespace sealed = crypto::sealed;

// Fewer bytes than a header that could still be a sealed file's beginning (nothing at all too).
bool beginsLikeSealed(const QByteArray& bytes)
{
    const auto n = std::min<qsizetype>(bytes.size(), qsizetype(sealed::kMagic.size()));
    for (qsizetype i = 0; i < n; ++i)
        if (std::uint8_t(bytes[i]) != sealed::kMagic[std::size_t(i)])
            return false;
    return true;
}

std::span<const std::uint8_t> asBytes(const QByteArray& bytes)
{
    return {reinterpret_cast<const std::uint8_t*>(bytes.constData()), std::size_t(bytes.size())};
}

}  // namespace

void RemoteRoute::headerRead(const WireEnd& end)
{
    const PendingResume resume = *std::exchange(m_pending, std::nullopt);
    const QString name = ftp::decodeServerName(m_name);
    if (end.cancelled || m_cancelRequested)
        return finish(Outcome::cancel());
    if (!end.ok) {
        return finish(Outcome::failure(
            QStringLiteral("Cannot read the start of %1 on the server to resume it: %2").arg(name, end.why), end.kind));
    }
    if (!resume.upload)
        return resumeDownload(resume, end.firstBytes);

    const QByteArray& first = end.firstBytes;
    if (first.size() < qsizetype(sealed::kHeaderSize) && beginsLikeSealed(first)) {
        // Not even the header arrived: nothing to go on from, so the whole file goes again
        // (a new salt, STOR over the short copy).
        QString why;
        std::shared_ptr<UploadSource> source = UploadSource::open(resume.localPath, resume.cipher, 0, &why, m_sealed);
        if (!source)
            return finish(Outcome::failure(why, Outcome::Failure::LocalFile));
        m_uploadSize = source->size();
        m_source = source;
        emit stageChanged(Stage::Sending);
        return send(std::move(source), m_name);
    }
    sealed::Header header;
    if (!sealed::isSealed(asBytes(first)) || !sealed::Header::read(asBytes(first), header).ok()) {
        return finish(Outcome::failure(
            QStringLiteral("The server's copy of %1 is not the start of a sealed file, so the sealed upload cannot be "
                           "resumed; nothing was sent. Send it again with Overwrite.")
                .arg(name)));
    }
    sealed::HeaderBytes headerBytes{};
    std::copy(first.begin(), first.begin() + qsizetype(sealed::kHeaderSize), headerBytes.begin());
    resumeSealedUpload(resume, headerBytes);
}

void RemoteRoute::resumeSealedUpload(const PendingResume& resume, const sealed::HeaderBytes& headerBytes)
{
    // The key check: the master key of the costs the header names may need Argon2id (seconds
    // for costs other than the default), so it runs off this thread.
    sealed::Header header;
    (void)sealed::Header::read(headerBytes, header);
    auto verdict = std::make_shared<crypto::Status>();
    const quint64 check = ++m_keyCheck;
    QThread* thread = QThread::create([keys = m_sealed.keys, header, verdict] {
        if (!keys) {
            *verdict = crypto::Status::failure(crypto::ErrorKind::NoKeyspace, "no key has been accepted");
            return;
        }
        std::shared_ptr<const sealed::MasterKey> master;
        *verdict = keys->master(header.kdf, master);
        std::unique_ptr<sealed::FileKey> key;
        if (verdict->ok())
            *verdict = sealed::FileKey::forHeader(*master, header, key);
    });
    connect(thread, &QThread::finished, thread, &QObject::deleteLater);
    connect(thread, &QThread::finished, this, [this, check, verdict, resume, headerBytes] {
        if (check != m_keyCheck || m_op != Op::Upload)
            return;
        if (m_cancelRequested)
            return finish(Outcome::cancel());
        const QString name = ftp::decodeServerName(m_name);
        if (!verdict->ok()) {
            const QString why = verdict->kind == crypto::ErrorKind::WrongKey
                                    ? QStringLiteral("The server's copy of %1 was sealed with another key, so the sealed "
                                                     "upload cannot be resumed with this one; nothing was sent.")
                                          .arg(name)
                                    : QStringLiteral("The sealed upload of %1 cannot be resumed: %2")
                                          .arg(name, QString::fromStdString(verdict->message));
            return finish(Outcome::failure(why));
        }
        const qint64 plainSize = QFileInfo(resume.localPath).size();
        if (quint64(resume.from) > sealed::sealedSize(quint64(plainSize))) {
            return finish(Outcome::failure(
                QStringLiteral("The server's copy of %1 (%2 bytes) is longer than the sealed file would be; nothing was sent.")
                    .arg(name)
                    .arg(resume.from)));
        }
        QString why;
        std::shared_ptr<UploadSource> source =
            UploadSource::openSealedResume(resume.localPath, resume.cipher, m_sealed, headerBytes, resume.from, &why);
        if (!source)
            return finish(Outcome::failure(why, Outcome::Failure::LocalFile));
        m_uploadSize = source->size();
        m_source = source;
        emit stageChanged(Stage::Sending);
        send(std::move(source), m_name);
    });
    thread->start();
}

void RemoteRoute::resumeDownload(const PendingResume& resume, const QByteArray& first)
{
    QString why;
    std::shared_ptr<DownloadTarget> target;
    sealed::Header header;
    if (sealed::isSealed(asBytes(first)) && sealed::Header::read(asBytes(first), header).ok()) {
        // Sealed: on from the chunk that holds the first byte the local file lacks.
        sealed::HeaderBytes headerBytes{};
        std::copy(first.begin(), first.begin() + qsizetype(sealed::kHeaderSize), headerBytes.begin());
        target = DownloadTarget::openSealedResume(resume.localPath, resume.cipher, m_sealed, headerBytes, resume.from, &why);
    } else if (sealed::isSealed(asBytes(first))) {
        // A sealed beginning whose header does not read (damaged, cut short, unsupported): the
        // whole file goes through the writer that reports why, and the local start stays.
        target = DownloadTarget::open(resume.localPath, resume.cipher, resume.from, &why, m_sealed);
    } else {
        // The compatible format: the rotor cipher at byte `from`, as without the sealed keys.
        target = DownloadTarget::open(resume.localPath, resume.cipher, resume.from, &why, SealedOptions{});
    }
    if (!target)
        return finish(Outcome::failure(why, Outcome::Failure::LocalFile));
    m_target = target;
    receive(m_name, std::move(target));
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
