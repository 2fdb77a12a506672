// CipherReader: a thread that reads a local file block by block, runs the cipher over each and
// queues it for the network, a few blocks ahead.
#include "transfer/CipherBlocks.h"

#include "crypto/PosixIo.h"

#include <QFile>

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <deque>
#include <fcntl.h>
#include <mutex>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace zephra::transfer {

using namespace detail;

struct CipherReader::Pipe : detail::ReadyQueue {
    Pipe(const crypto::Cipher& c, crypto::Direction d) : cipher(c), direction(d) {}

    const crypto::Cipher& cipher;
    const crypto::Direction direction;
    QString path;
    int fd = -1;
    qint64 size = 0;
    qint64 from = 0;  // the first byte handed out

    bool readFull(std::uint8_t* p, std::size_t n, off_t offset)
    {
        if (crypto::readFull(fd, p, n, offset))
            return true;
        fail(errno == 0 ? QStringLiteral("cannot read %1: it got shorter while being sent").arg(path)
                        : QStringLiteral("cannot read %1: %2").arg(path, errnoText(errno)));
        return false;
    }

    void run()
    {
        const auto total = static_cast<std::uint64_t>(size);
        for (auto offset = static_cast<std::uint64_t>(from); offset < total;) {
            std::vector<std::uint8_t> buffer;
            {
                std::unique_lock lock(mutex);
                spaceFree.wait(lock, [&] { return queue.size() < kQueueDepth || cancelled || failed; });
                if (cancelled || failed)
                    return;
                buffer = takeBuffer(spare);
            }
            const auto len = static_cast<std::size_t>(std::min<std::uint64_t>(kBlockSize, total - offset));
            if (!readFull(buffer.data(), len, static_cast<off_t>(offset)))
                return;
            cipher.process(direction, offset, buffer.data(), buffer.data(), len);
            // The last block goes out only if the file still has the size announced to the
            // server: a file that grew while it was read would otherwise arrive cut short.
            if (offset + len == total && !sizeUnchanged())
                return;
            {
                std::lock_guard lock(mutex);
                if (cancelled)
                    return;
                queue.push_back(Block{std::move(buffer), len, 0, offset});
                if (offset + len == total)
                    producedAll = true;
            }
            offset += len;
            dataReady.notify_all();
            notify();
        }
        if (static_cast<std::uint64_t>(from) >= total) {
            if (!sizeUnchanged())
                return;
            {
                std::lock_guard lock(mutex);
                producedAll = true;
            }
            dataReady.notify_all();
            notify();
        }
    }

    bool sizeUnchanged()
    {
        struct stat st {};
        if (::fstat(fd, &st) != 0) {
            fail(QStringLiteral("cannot read %1: %2").arg(path, errnoText(errno)));
            return false;
        }
        if (st.st_size != size) {
            fail(QStringLiteral("cannot read %1: its size changed while it was being sent").arg(path));
            return false;
        }
        return true;
    }

    // Copies what is queued into buffer; the caller holds the lock.
};

CipherReader::CipherReader(const crypto::Cipher& cipher, crypto::Direction direction)
    : m_pipe(std::make_unique<Pipe>(cipher, direction))
{
}

CipherReader::~CipherReader()
{
    cancel();
    if (m_pipe->thread.joinable())
        m_pipe->thread.join();
    if (m_pipe->fd >= 0)
        ::close(m_pipe->fd);
}

bool CipherReader::open(const QString& path, QString* error, qint64 from)
{
    auto setError = [&](const QString& text) {
        if (error)
            *error = text;
        std::lock_guard lock(m_pipe->mutex);
        m_pipe->error = text;
        return false;
    };
    if (m_pipe->fd >= 0 || m_pipe->thread.joinable())
        return setError(QStringLiteral("the stream is already open"));
    const QByteArray native = QFile::encodeName(path);
    const int fd = ::open(native.constData(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return setError(QStringLiteral("cannot read %1: %2").arg(path, errnoText(errno)));
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        const int err = errno;
        ::close(fd);
        return setError(S_ISDIR(st.st_mode) || err == 0 ? QStringLiteral("%1 is not a regular file").arg(path)
                                                        : QStringLiteral("cannot read %1: %2").arg(path, errnoText(err)));
    }
    if (from < 0 || from > st.st_size) {
        ::close(fd);
        return setError(QStringLiteral("cannot send %1 from byte %2: it holds only %3 bytes").arg(path).arg(from).arg(qint64(st.st_size)));
    }
    ::posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
    m_pipe->fd = fd;
    m_pipe->from = from;
    m_pipe->path = path;
    m_pipe->size = st.st_size;
    return true;
}

// The cipher thread starts with the first read, not at open: until the transfer asks for bytes
// (the data connection is being set up) it would only compete with the network for the CPU.
void CipherReader::start()
{
    std::call_once(m_pipe->started, [pipe = m_pipe.get()] {
        if (pipe->fd >= 0)
            pipe->thread = std::thread([pipe] { pipe->run(); });
    });
}

qint64 CipherReader::size() const { return m_pipe->size; }

qint64 CipherReader::read(char* buffer, qint64 maxSize)
{
    start();
    return m_pipe->read(buffer, maxSize);
}

qint64 CipherReader::tryRead(char* buffer, qint64 maxSize)
{
    start();
    return m_pipe->tryRead(buffer, maxSize);
}

qint64 CipherReader::bytesReady() const { return m_pipe->bytesReady(); }

bool CipherReader::atEnd() const { return m_pipe->atEnd(); }

void CipherReader::setReadyCallback(std::function<void()> callback) { m_pipe->setReadyCallback(std::move(callback)); }

QString CipherReader::errorString() const { return m_pipe->errorString(); }

void CipherReader::cancel() { m_pipe->cancel(); }

}  // namespace zephra::transfer
