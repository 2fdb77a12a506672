#include "transfer/LocalEnds.h"

#include "ftp/LocalFile.h"
#include "transfer/CipherStreams.h"
#include "transfer/SealedTransfer.h"

#include <QFile>
#include <QFileInfo>

namespace zephra::transfer {

namespace {

// The check before a file is sent: a missing or unreadable file, or a directory, sends nothing.
QString unreadable(const QString& localPath)
{
    const QFileInfo info(localPath);
    if (!info.exists())
        return QStringLiteral("%1 does not exist.").arg(localPath);
    if (!info.isFile())
        return QStringLiteral("%1 is not a file.").arg(localPath);
    if (!info.isReadable())
        return QStringLiteral("%1 cannot be read.").arg(localPath);
    return {};
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// UploadSource

std::shared_ptr<UploadSource> UploadSource::open(const QString& localPath, std::shared_ptr<const crypto::Cipher> cipher,
                                                 qint64 from, QString* why, const SealedOptions& sealed)
{
    if (QString reason = unreadable(localPath); !reason.isEmpty()) {
        *why = reason;
        return nullptr;
    }
    std::shared_ptr<UploadSource> source(new UploadSource);
    source->m_path = localPath;
    source->m_from = from;
    if (cipher && sealed.sealUploads) {
        // Resuming needs the header the server holds (the file key is under its salt): the
        // route reads it first and opens through openSealedResume.
        if (from > 0) {
            *why = QStringLiteral("cannot resume the sealed upload of %1 without the server's header").arg(localPath);
            return nullptr;
        }
        auto reader = std::make_unique<SealingReader>(sealed.keys);
        if (!reader->open(localPath, why))
            return nullptr;
        source->m_cipher = std::move(cipher);
        source->m_keys = sealed.keys;
        source->m_size = reader->size();
        source->m_sealing = reader.get();
        source->m_ownedSealing = std::move(reader);
        return source;
    }
    if (cipher) {
        auto reader = std::make_unique<CipherReader>(*cipher, crypto::Direction::Encrypt);
        if (!reader->open(localPath, why, from))
            return nullptr;
        source->m_cipher = std::move(cipher);
        source->m_size = reader->size();
        source->m_reader = reader.get();
        source->m_ownedReader = std::move(reader);
        return source;
    }
    auto file = std::make_unique<QFile>(localPath);
    if (!file->open(QIODevice::ReadOnly | QIODevice::Unbuffered)) {
        *why = QStringLiteral("%1 cannot be read: %2").arg(localPath, file->errorString());
        return nullptr;
    }
    source->m_size = file->size();
    if (from < 0 || from > source->m_size || !file->seek(from)) {
        *why = QStringLiteral("cannot send %1 from byte %2: it holds only %3 bytes").arg(localPath).arg(from).arg(source->m_size);
        return nullptr;
    }
    source->m_file = std::move(file);
    return source;
}

std::shared_ptr<UploadSource> UploadSource::openSealedResume(const QString& localPath,
                                                             std::shared_ptr<const crypto::Cipher> cipher,
                                                             const SealedOptions& sealed,
                                                             const crypto::sealed::HeaderBytes& header, qint64 held,
                                                             QString* why)
{
    if (QString reason = unreadable(localPath); !reason.isEmpty()) {
        *why = reason;
        return nullptr;
    }
    std::shared_ptr<UploadSource> source(new UploadSource);
    source->m_path = localPath;
    auto reader = std::make_unique<SealingReader>(sealed.keys);
    if (!reader->open(localPath, why))
        return nullptr;
    const crypto::sealed::ChunkPosition at =
        crypto::sealed::resumeFromSealed(quint64(held), quint64(reader->plainSize()));
    if (!reader->resumeAt(header, at, why, held - qint64(at.sealedOffset)))
        return nullptr;
    source->m_cipher = std::move(cipher);
    source->m_keys = sealed.keys;
    source->m_from = held;
    source->m_size = source->m_from + reader->size();
    source->m_sealing = reader.get();
    source->m_ownedSealing = std::move(reader);
    return source;
}

UploadSource::~UploadSource()
{
    // The cipher thread stops (with whatever owns the reader) before the cipher goes.
    m_cipherDevice.reset();
    m_ownedReader.reset();
    m_sealingDevice.reset();
    m_ownedSealing.reset();
}

qint64 UploadSource::read(char* buffer, qint64 maxSize)
{
    if (m_cancelled.load())
        return -1;
    if (m_sealing)
        return m_sealing->read(buffer, maxSize);
    return m_reader ? m_reader->read(buffer, maxSize) : m_file->read(buffer, maxSize);
}

QIODevice* UploadSource::device()
{
    if (m_sealing) {
        if (!m_sealingDevice)
            m_sealingDevice = std::make_unique<SealingSourceDevice>(std::move(m_ownedSealing));
        return m_sealingDevice.get();
    }
    if (!m_reader)
        return m_file.get();
    if (!m_cipherDevice)
        m_cipherDevice = std::make_unique<CipherSourceDevice>(std::move(m_ownedReader));
    return m_cipherDevice.get();
}

QString UploadSource::errorString() const
{
    if (m_sealing)
        return m_sealing->errorString();
    if (m_reader)
        return m_reader->errorString();
    const QString error = m_file->errorString();
    // QIODevice says "Unknown error" when nothing went wrong.
    return m_file->error() == QFileDevice::NoError ? QString()
                                                    : QStringLiteral("cannot read %1: %2").arg(m_path, error);
}

void UploadSource::cancel()
{
    m_cancelled = true;
    if (m_sealing)
        m_sealing->cancel();
    if (m_reader)
        m_reader->cancel();
}

// ---------------------------------------------------------------------------------------------
// DownloadTarget

std::shared_ptr<DownloadTarget> DownloadTarget::open(const QString& localPath,
                                                     std::shared_ptr<const crypto::Cipher> cipher, qint64 from,
                                                     QString* why, const SealedOptions& sealed)
{
    std::shared_ptr<DownloadTarget> target(new DownloadTarget);
    target->m_path = localPath;
    target->m_from = from;
    if (cipher && sealed.keys) {
        // Either format: which one shows only in the file's first bytes, and the rotor cipher
        // must not be started at byte `from` of what may be a sealed file. So the whole file is
        // fetched (from() 0), checked, and written from `from` on.
        auto writer = std::make_unique<OpeningWriter>(*cipher, sealed.keys);
        if (from > 0 ? !writer->openContinuing(localPath, from, why) : !writer->open(localPath, why))
            return nullptr;
        target->m_from = 0;
        target->m_cipher = std::move(cipher);
        target->m_keys = sealed.keys;
        target->m_opening = writer.get();
        target->m_ownedOpening = std::move(writer);
        return target;
    }
    if (cipher) {
        auto writer = std::make_unique<CipherWriter>(*cipher, crypto::Direction::Decrypt);
        if (from > 0 ? !writer->openContinuing(localPath, from, why) : !writer->open(localPath, why))
            return nullptr;
        target->m_cipher = std::move(cipher);
        target->m_writer = writer.get();
        target->m_ownedWriter = std::move(writer);
        return target;
    }
    if (from > 0) {
        auto file = std::make_unique<ftp::LocalFileContinuation>(localPath, from);
        if (!file->open(why))
            return nullptr;
        target->m_continuation = std::move(file);
        return target;
    }
    auto file = std::make_unique<ftp::LocalFileReplacement>(localPath);
    if (!file->open(why))
        return nullptr;
    target->m_file = std::move(file);
    return target;
}

std::shared_ptr<DownloadTarget> DownloadTarget::openSealedResume(const QString& localPath,
                                                                 std::shared_ptr<const crypto::Cipher> cipher,
                                                                 const SealedOptions& sealed,
                                                                 const crypto::sealed::HeaderBytes& header,
                                                                 qint64 localSize, QString* why)
{
    std::shared_ptr<DownloadTarget> target(new DownloadTarget);
    target->m_path = localPath;
    auto writer = std::make_unique<OpeningWriter>(*cipher, sealed.keys);
    if (!writer->openResumed(localPath, header, localSize, why))
        return nullptr;
    target->m_from = qint64(crypto::sealed::resumeFromPlain(static_cast<std::uint64_t>(localSize)).sealedOffset);
    target->m_cipher = std::move(cipher);
    target->m_keys = sealed.keys;
    target->m_opening = writer.get();
    target->m_ownedOpening = std::move(writer);
    return target;
}

DownloadTarget::~DownloadTarget()
{
    abort();
    // The cipher thread stops (with whatever owns the writer) before the cipher goes.
    m_sink.reset();
    m_ownedWriter.reset();
    m_openingSink.reset();
    m_ownedOpening.reset();
}

bool DownloadTarget::write(const char* data, qint64 size)
{
    if (m_opening)
        return m_opening->write(data, size);
    if (m_writer)
        return m_writer->write(data, size);
    QIODevice* out = device();
    if (!out || !m_writeError.isEmpty())
        return false;
    if (out->write(data, size) == size)
        return true;
    m_writeError = QStringLiteral("cannot write %1: %2").arg(m_path, out->errorString());
    return false;
}

QIODevice* DownloadTarget::device()
{
    if (m_opening) {
        if (!m_openingSink)
            m_openingSink = std::make_unique<OpeningSinkDevice>(std::move(m_ownedOpening));
        return m_openingSink.get();
    }
    if (!m_writer)
        return m_continuation ? m_continuation->device() : m_file->device();
    if (!m_sink)
        m_sink = std::make_unique<CipherSinkDevice>(std::move(m_ownedWriter));
    return m_sink.get();
}

bool DownloadTarget::commit(QString* why)
{
    if (m_opening)
        return m_opening->commit(why);
    if (m_writer)
        return m_writer->commit(why);
    if (!m_writeError.isEmpty()) {
        abort();
        *why = m_writeError;
        return false;
    }
    return m_continuation ? m_continuation->finish(why) : m_file->commit(why);
}

void DownloadTarget::abort()
{
    if (m_opening)
        m_opening->abort();
    else if (m_writer)
        m_writer->abort();
    else if (m_file)
        m_file->discard();
    else if (m_continuation)
        m_continuation->close();
}

qint64 DownloadTarget::keepIncomplete()
{
    // Decrypting with the sealed keys at hand, nothing of a failed download is kept: its failure
    // may be a wrong key or a damaged file, and the user is told nothing was written.
    if (m_opening) {
        m_opening->abort();
        return 0;
    }
    if (m_writer)
        return m_writer->keepIncomplete();
    if (m_file)
        return m_file->keepIncomplete();
    abort();
    return 0;
}

QString DownloadTarget::errorString() const
{
    if (m_writer || m_opening) {
        // "cancelled" is the writer's word for an abort, not a failure of its own.
        const QString error = m_opening ? m_opening->errorString() : m_writer->errorString();
        return error == QLatin1String("cancelled") ? QString() : error;
    }
    return m_writeError;
}

}  // namespace zephra::transfer
