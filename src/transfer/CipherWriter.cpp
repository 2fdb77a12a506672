// CipherWriter: takes downloaded bytes in order and a thread of its own runs the cipher over
// them and writes them to the file that replaces the target at commit (ftp::LocalFileReplacement).
#include "transfer/CipherBlocks.h"

#include "crypto/PosixIo.h"
#include "ftp/LocalFile.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>
#include <utility>

namespace zephra::transfer {

using namespace detail;

struct CipherWriter::Pipe : detail::BlockQueue {
    Pipe(const crypto::Cipher& c, crypto::Direction d) : cipher(c), direction(d) {}

    const crypto::Cipher& cipher;
    const crypto::Direction direction;
    QString target;
    std::unique_ptr<ftp::LocalFileReplacement> file;  // replaces the target at commit
    std::unique_ptr<ftp::LocalFileContinuation> continuation;  // or: the target itself, after its first bytes
    int fd = -1;            // the file's descriptor, written by the cipher thread
    std::atomic<qint64> taken{0};  // the file position of the next byte taken

    void run()
    {
        for (;;) {
            Block block;
            {
                std::unique_lock lock(mutex);
                blocksQueued.wait(lock, [&] { return !queue.empty() || finishing || aborted; });
                if (aborted || failed || queue.empty())
                    return;
                block = std::move(queue.front());
                queue.pop_front();
            }
            cipher.process(direction, block.position, block.data.data(), block.data.data(), block.len);
            const bool ok = crypto::writeAll(fd, block.data.data(), block.len, static_cast<off_t>(block.position));
            const int err = errno;
            recycle(block);
            if (!ok) {
                fail(QStringLiteral("cannot write %1: %2").arg(target, errnoText(err)));
                return;
            }
        }
    }

    // A replacement's temporary file goes; a continued file keeps what was written.
    void removeTemp()
    {
        fd = -1;
        if (file)
            file->discard();
        if (continuation)
            continuation->close();
    }
};

CipherWriter::CipherWriter(const crypto::Cipher& cipher, crypto::Direction direction)
    : m_pipe(std::make_unique<Pipe>(cipher, direction))
{
}

CipherWriter::~CipherWriter() { abort(); }

bool CipherWriter::open(const QString& target, QString* error)
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
    // The one rule for replacing a local file: owner-only while it fills (it may hold
    // plaintext), the replaced file's permission bits kept, a link replaced, never followed.
    auto file = std::make_unique<ftp::LocalFileReplacement>(target);
    QString why;
    if (!file->open(&why))
        return setError(why);
    p.fd = file->handle();
    p.file = std::move(file);
    p.target = target;
    p.thread = std::thread([pipe = &p] { pipe->run(); });
    return true;
}

bool CipherWriter::openContinuing(const QString& target, qint64 from, QString* error)
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
    auto file = std::make_unique<ftp::LocalFileContinuation>(target, from);
    QString why;
    if (!file->open(&why))
        return setError(why);
    p.fd = file->handle();
    p.continuation = std::move(file);
    p.target = target;
    p.taken = from;
    p.thread = std::thread([pipe = &p] { pipe->run(); });
    return true;
}

bool CipherWriter::write(const char* data, qint64 size)
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
            p.fill.data = takeBuffer(p.spare);
            p.fill.len = 0;
            p.fill.position = static_cast<std::uint64_t>(p.taken.load());
        }
        const auto chunk = static_cast<std::size_t>(std::min<qint64>(size, qint64(kBlockSize - p.fill.len)));
        std::memcpy(p.fill.data.data() + p.fill.len, data, chunk);
        p.fill.len += chunk;
        p.taken += qint64(chunk);
        data += chunk;
        size -= qint64(chunk);
        if (p.fill.len == kBlockSize && !p.pushFill())
            return false;
    }
    return true;
}

qint64 CipherWriter::written() const { return m_pipe->taken.load(); }

bool CipherWriter::commit(QString* error)
{
    Pipe& p = *m_pipe;
    auto failWith = [&](const QString& text) {
        p.fail(text);
        abort();
        if (error)
            *error = errorString();
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
            const QString text = p.error;
            p.removeTemp();
            p.aborted = true;
            if (error)
                *error = text;
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

void CipherWriter::abort()
{
    if (stop())
        m_pipe->removeTemp();
}

qint64 CipherWriter::keepIncomplete()
{
    Pipe& p = *m_pipe;
    if (p.committed)
        return 0;
    // Everything taken so far arrived in order: the block being filled and the queued ones are
    // written first (a few blocks at most), so the file is the plaintext of all of it.
    if (p.thread.joinable() && !p.aborted && (p.fill.data.empty() || p.fill.len == 0 || p.pushFill())) {
        {
            std::lock_guard lock(p.mutex);
            p.finishing = true;
        }
        p.blocksQueued.notify_all();
        p.stopThread();
    }
    if (!stop())
        return 0;
    p.fd = -1;
    if (p.continuation)
        p.continuation->close();
    // The cipher thread wrote whole blocks in file order, so the file is the plaintext of a
    // prefix of what arrived.
    return p.file ? p.file->keepIncomplete() : 0;
}

bool CipherWriter::stop()
{
    Pipe& p = *m_pipe;
    {
        std::lock_guard lock(p.mutex);
        if (p.committed)
            return false;
        p.aborted = true;
        if (p.error.isEmpty())
            p.error = QStringLiteral("cancelled");
    }
    p.blocksQueued.notify_all();
    p.spaceFree.notify_all();
    p.stopThread();
    return true;
}

QString CipherWriter::errorString() const
{
    std::lock_guard lock(m_pipe->mutex);
    return m_pipe->error;
}

}  // namespace zephra::transfer
