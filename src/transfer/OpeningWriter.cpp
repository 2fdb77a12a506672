// OpeningWriter: takes downloaded bytes in order; a thread of its own tells the format by the
// first kHeaderSize bytes, then opens the sealed chunks (or runs the rotor cipher over the
// compatible format) and writes the plaintext to the file that replaces the target at commit.
#include "transfer/SealedTransfer.h"

#include "crypto/PosixIo.h"
#include "crypto/sealed/KeyRing.h"
#include "crypto/sealed/SealedMessages.h"
#include "crypto/sealed/SealedStreams.h"
#include "ftp/LocalFile.h"
#include "transfer/CipherBlocks.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <optional>
#include <thread>

namespace zephra::transfer {

namespace sealed = crypto::sealed;
using detail::Block;
using detail::errnoText;

struct OpeningWriter::Pipe : detail::BlockQueue {
    Pipe(const crypto::Cipher& c, std::shared_ptr<sealed::KeyRing> k) : rotor(c), keys(std::move(k)) {}

    enum class Format { Unknown, Compatible, Sealed };

    const crypto::Cipher& rotor;
    std::shared_ptr<sealed::KeyRing> keys;
    QString target;
    std::unique_ptr<ftp::LocalFileReplacement> file;
    std::unique_ptr<ftp::LocalFileContinuation> continuation;  // or: the target itself, resumed
    std::uint64_t skip = 0;  // resumed: the plaintext the target holds already
    int fd = -1;
    std::atomic<qint64> taken{0};

    // The cipher thread's own state.
    std::vector<std::uint8_t> head;  // the first bytes, until the format is known
    std::uint64_t plainWritten = 0;  // the compatible format: also the cipher position
    std::shared_ptr<const sealed::MasterKey> master;  // outlives the opener
    // Resumed with a known header: its bytes, the position to open from, and the file key.
    std::optional<sealed::HeaderBytes> resumeHeader;
    sealed::ChunkPosition resumeAt = sealed::kStartOfFile;
    std::unique_ptr<sealed::FileKey> fileKey;  // outlives the opener
    std::unique_ptr<sealed::Opener> opener;
    std::vector<std::uint8_t> plain;
    std::atomic<Format> format{Format::Unknown};

    bool failStatus(const crypto::Status& status)
    {
        fail(QString::fromStdString(status.message));
        return false;
    }

    bool writeOut(const std::uint8_t* data, std::size_t n)
    {
        // A resumed download writes only what the target does not hold yet.
        const std::uint64_t held = plainWritten < skip ? std::min<std::uint64_t>(n, skip - plainWritten) : 0;
        data += held;
        n -= held;
        plainWritten += held;
        if (n == 0)
            return true;
        if (!crypto::writeAll(fd, data, n, static_cast<off_t>(plainWritten))) {
            fail(QStringLiteral("cannot write %1: %2").arg(target, errnoText(errno)));
            return false;
        }
        plainWritten += n;
        return true;
    }

    // The format, from the first bytes (fewer than a header only at the end of the stream).
    bool decide()
    {
        if (!sealed::isSealed(head)) {
            format = Format::Compatible;
            return true;
        }
        format = Format::Sealed;
        sealed::Header header;
        if (crypto::Status s = sealed::Header::read(head, header); !s.ok())
            return failStatus(s);
        if (!keys)
            return failStatus(crypto::Status::failure(crypto::ErrorKind::NoKeyspace, "no key has been accepted"));
        // The file's own Argon2id costs: derived here, on this thread, when they are not the
        // default one the ring already holds.
        if (crypto::Status s = keys->master(header.kdf, master); !s.ok())
            return failStatus(s);
        opener = std::make_unique<sealed::Opener>(*master);
        return true;
    }

    // Decrypts n bytes of the stream and writes their plaintext.
    bool take(std::uint8_t* data, std::size_t n)
    {
        if (format == Format::Compatible) {
            rotor.process(crypto::Direction::Decrypt, plainWritten, data, data, n);
            return writeOut(data, n);
        }
        plain.clear();
        const crypto::Status s = opener->write(data, n, plain);
        // What opened before a failing chunk is written all the same: it never reaches the
        // target, which only commit() replaces.
        if (!writeOut(plain.data(), plain.size()))
            return false;
        return s.ok() || failStatus(s);
    }

    bool process(std::uint8_t* data, std::size_t n)
    {
        if (format == Format::Unknown) {
            const std::size_t want = std::min(n, sealed::kHeaderSize - head.size());
            head.insert(head.end(), data, data + want);
            data += want;
            n -= want;
            if (head.size() < sealed::kHeaderSize)
                return true;
            if (!decide() || !take(head.data(), head.size()))
                return false;
        }
        return n == 0 || take(data, n);
    }

    // The end of the stream: a short file is judged by what came, a sealed one must end with
    // its last chunk.
    bool finish()
    {
        if (format == Format::Unknown) {
            if (!decide())
                return false;
            if (format == Format::Sealed) {
                // A sealed beginning shorter than a header: the file is cut short.
                return failStatus(crypto::Status::failure(crypto::ErrorKind::Truncated, sealed::message::headerTruncated()));
            }
            if (!take(head.data(), head.size()))
                return false;
        }
        if (format == Format::Compatible)
            return true;
        plain.clear();
        const crypto::Status s = opener->finish(plain);
        if (!s.ok())
            return failStatus(s);
        return writeOut(plain.data(), plain.size());
    }

    // Resumed: the key of the header read before, on this thread (a master key of other costs
    // is derived here); a wrong key fails before anything is written.
    bool startResumed()
    {
        sealed::Header header;
        if (crypto::Status s = sealed::Header::read(*resumeHeader, header); !s.ok())
            return failStatus(s);
        if (!keys)
            return failStatus(crypto::Status::failure(crypto::ErrorKind::NoKeyspace, "no key has been accepted"));
        if (crypto::Status s = keys->master(header.kdf, master); !s.ok())
            return failStatus(s);
        if (crypto::Status s = sealed::FileKey::forHeader(*master, header, fileKey); !s.ok())
            return failStatus(s);
        opener = std::make_unique<sealed::Opener>(*fileKey, resumeAt);
        return true;
    }

    void run()
    {
        if (resumeHeader && !startResumed())
            return;
        for (;;) {
            Block block;
            {
                std::unique_lock lock(mutex);
                blocksQueued.wait(lock, [&] { return !queue.empty() || finishing || aborted; });
                if (aborted || failed)
                    return;
                if (queue.empty()) {
                    lock.unlock();
                    finish();
                    return;
                }
                block = std::move(queue.front());
                queue.pop_front();
            }
            const bool ok = process(block.data.data(), block.len);
            recycle(block);
            if (!ok)
                return;
        }
    }

    void removeTemp()
    {
        fd = -1;
        if (file)
            file->discard();
        if (continuation)
            continuation->close();
    }
};

OpeningWriter::OpeningWriter(const crypto::Cipher& rotor, std::shared_ptr<sealed::KeyRing> keys)
    : m_pipe(std::make_unique<Pipe>(rotor, std::move(keys)))
{
}

OpeningWriter::~OpeningWriter() { abort(); }

bool OpeningWriter::open(const QString& target, QString* error)
{
    Pipe& p = *m_pipe;
    auto setError = [&](const QString& text) {
        if (error)
            *error = text;
        std::lock_guard lock(p.mutex);
        p.error = text;
        return false;
    };
    if (p.file || p.continuation || p.thread.joinable() || p.committed)
        return setError(QStringLiteral("the stream is already open"));
    auto file = std::make_unique<ftp::LocalFileReplacement>(target);
    QString why;
    if (!file->open(&why))
        return setError(why);
    p.fd = file->handle();
    p.file = std::move(file);
    p.target = target;
    p.head.reserve(sealed::kHeaderSize);
    p.thread = std::thread([pipe = &p] { pipe->run(); });
    return true;
}

bool OpeningWriter::write(const char* data, qint64 size)
{
    Pipe& p = *m_pipe;
    {
        std::lock_guard lock(p.mutex);
        if (p.failed || p.aborted || p.finishing || !p.thread.joinable())
            return false;
    }
    while (size > 0) {
        if (p.fill.data.empty()) {
            std::lock_guard lock(p.mutex);
            p.fill.data = detail::takeBuffer(p.spare);
            p.fill.len = 0;
        }
        const auto piece = static_cast<std::size_t>(std::min<qint64>(size, qint64(detail::kBlockSize - p.fill.len)));
        std::memcpy(p.fill.data.data() + p.fill.len, data, piece);
        p.fill.len += piece;
        p.taken += qint64(piece);
        data += piece;
        size -= qint64(piece);
        if (p.fill.len == detail::kBlockSize && !p.pushFill())
            return false;
    }
    return true;
}

bool OpeningWriter::openContinuing(const QString& target, qint64 from, QString* error)
{
    Pipe& p = *m_pipe;
    auto setError = [&](const QString& text) {
        if (error)
            *error = text;
        std::lock_guard lock(p.mutex);
        p.error = text;
        return false;
    };
    if (p.file || p.continuation || p.thread.joinable() || p.committed || from < 0)
        return setError(QStringLiteral("the stream is already open"));
    auto file = std::make_unique<ftp::LocalFileContinuation>(target, from);
    QString why;
    if (!file->open(&why))
        return setError(why);
    p.fd = file->handle();
    p.continuation = std::move(file);
    p.skip = static_cast<std::uint64_t>(from);
    p.target = target;
    p.head.reserve(sealed::kHeaderSize);
    p.thread = std::thread([pipe = &p] { pipe->run(); });
    return true;
}

bool OpeningWriter::openResumed(const QString& target, const sealed::HeaderBytes& header, qint64 localSize, QString* error)
{
    Pipe& p = *m_pipe;
    auto setError = [&](const QString& text) {
        if (error)
            *error = text;
        std::lock_guard lock(p.mutex);
        p.error = text;
        return false;
    };
    if (p.file || p.continuation || p.thread.joinable() || p.committed || localSize < 0)
        return setError(QStringLiteral("the stream is already open"));
    auto file = std::make_unique<ftp::LocalFileContinuation>(target, localSize);
    QString why;
    if (!file->open(&why))
        return setError(why);
    p.fd = file->handle();
    p.continuation = std::move(file);
    p.target = target;
    p.resumeHeader = header;
    p.resumeAt = sealed::resumeFromPlain(static_cast<std::uint64_t>(localSize));
    // The chunk from its boundary is opened whole (its tag covers all of it); what the target
    // holds of it already is not written again.
    p.plainWritten = p.resumeAt.plainOffset;
    p.skip = static_cast<std::uint64_t>(localSize);
    p.format = Pipe::Format::Sealed;
    p.thread = std::thread([pipe = &p] { pipe->run(); });
    return true;
}

qint64 OpeningWriter::written() const { return m_pipe->taken.load(); }

bool OpeningWriter::isSealed() const { return m_pipe->format == Pipe::Format::Sealed; }

bool OpeningWriter::commit(QString* error)
{
    Pipe& p = *m_pipe;
    auto failWith = [&](const QString& text) {
        p.fail(text);
        const QString reason = errorString();
        abort();
        if (error)
            *error = reason;
        return false;
    };
    if (p.committed)
        return true;
    if (!p.thread.joinable() || p.aborted)
        return failWith(p.error.isEmpty() ? QStringLiteral("nothing to commit") : p.error);
    if (!p.fill.data.empty() && p.fill.len > 0 && !p.pushFill())
        return failWith(QStringLiteral("cannot write %1").arg(p.target));
    {
        std::lock_guard lock(p.mutex);
        p.finishing = true;
    }
    p.blocksQueued.notify_all();
    p.stopThread();
    {
        std::lock_guard lock(p.mutex);
        if (p.failed) {
            p.removeTemp();
            p.aborted = true;
            if (error)
                *error = p.error;
            return false;
        }
    }
    QString why;
    p.fd = -1;
    if (p.continuation ? !p.continuation->finish(&why) : !p.file->commit(&why))
        return failWith(why);
    std::lock_guard lock(p.mutex);
    p.committed = true;
    return true;
}

void OpeningWriter::abort()
{
    Pipe& p = *m_pipe;
    {
        std::lock_guard lock(p.mutex);
        if (p.committed)
            return;
        p.aborted = true;
        if (p.error.isEmpty())
            p.error = QStringLiteral("cancelled");
    }
    p.blocksQueued.notify_all();
    p.spaceFree.notify_all();
    p.stopThread();
    p.removeTemp();
}

QString OpeningWriter::errorString() const
{
    std::lock_guard lock(m_pipe->mutex);
    return m_pipe->error;
}

}  // namespace zephra::transfer
