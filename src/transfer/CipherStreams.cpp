#include "transfer/CipherStreams.h"

#include "crypto/PosixIo.h"
#include "ftp/LocalFile.h"

#include <QFile>
#include <QMetaObject>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <fcntl.h>
#include <mutex>
#include <string>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <utility>
#include <vector>

namespace zephra::transfer {

namespace {

// A few MiB in all: enough for the cipher thread to run ahead of (or behind) the network.
constexpr auto kBlockSize = static_cast<std::size_t>(kCipherBlockSize);
constexpr auto kQueueDepth = static_cast<std::size_t>(kCipherQueueDepth);

QString errnoText(int err) { return QString::fromLocal8Bit(std::strerror(err)); }

// A block of file bytes at a file position; pos counts what the consumer has taken.
struct Block {
    std::vector<std::uint8_t> data;
    std::size_t len = 0;
    std::size_t pos = 0;
    std::uint64_t position = 0;
};

// Buffers are kept for reuse, so a long transfer allocates a handful of blocks in all.
std::vector<std::uint8_t> takeBuffer(std::vector<std::vector<std::uint8_t>>& spare)
{
    if (spare.empty())
        return std::vector<std::uint8_t>(kBlockSize);
    std::vector<std::uint8_t> b = std::move(spare.back());
    spare.pop_back();
    return b;
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// CipherReader

struct CipherReader::Pipe {
    Pipe(const crypto::Cipher& c, crypto::Direction d) : cipher(c), direction(d) {}

    const crypto::Cipher& cipher;
    const crypto::Direction direction;
    QString path;
    int fd = -1;
    qint64 size = 0;
    std::thread thread;
    std::once_flag started;

    mutable std::mutex mutex;
    std::condition_variable dataReady;  // the consumer waits for blocks
    std::condition_variable spaceFree;  // the cipher thread waits for room in the queue
    std::deque<Block> queue;
    std::vector<std::vector<std::uint8_t>> spare;
    bool producedAll = false;  // every block is queued and the file did not change size
    bool failed = false;
    bool cancelled = false;
    QString error;

    std::mutex callbackMutex;  // held while the callback runs, so it can be replaced safely
    std::function<void()> callback;

    void notify()
    {
        std::lock_guard lock(callbackMutex);
        if (callback)
            callback();
    }

    void fail(const QString& text)
    {
        {
            std::lock_guard lock(mutex);
            if (!failed && !cancelled) {
                failed = true;
                error = text;
            }
        }
        dataReady.notify_all();
        notify();
    }

    bool readFull(std::uint8_t* p, std::size_t n, off_t offset)
    {
        while (n > 0) {
            const ssize_t r = ::pread(fd, p, n, offset);
            if (r < 0 && errno == EINTR)
                continue;
            if (r < 0) {
                fail(QStringLiteral("cannot read %1: %2").arg(path, errnoText(errno)));
                return false;
            }
            if (r == 0) {
                fail(QStringLiteral("cannot read %1: it got shorter while being sent").arg(path));
                return false;
            }
            p += r;
            n -= static_cast<std::size_t>(r);
            offset += r;
        }
        return true;
    }

    void run()
    {
        const auto total = static_cast<std::uint64_t>(size);
        for (std::uint64_t offset = 0; offset < total;) {
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
        if (total == 0) {
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
    qint64 takeLocked(char* buffer, qint64 maxSize)
    {
        qint64 n = 0;
        bool freed = false;
        while (n < maxSize && !queue.empty()) {
            Block& b = queue.front();
            const auto chunk = static_cast<std::size_t>(std::min<qint64>(maxSize - n, qint64(b.len - b.pos)));
            std::memcpy(buffer + n, b.data.data() + b.pos, chunk);
            b.pos += chunk;
            n += qint64(chunk);
            if (b.pos == b.len) {
                spare.push_back(std::move(b.data));
                queue.pop_front();
                freed = true;
            }
        }
        if (freed)
            spaceFree.notify_one();
        return n;
    }
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

bool CipherReader::open(const QString& path, QString* error)
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
    ::posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
    m_pipe->fd = fd;
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
    Pipe& p = *m_pipe;
    std::unique_lock lock(p.mutex);
    p.dataReady.wait(lock, [&] { return !p.queue.empty() || p.producedAll || p.failed || p.cancelled; });
    if (p.cancelled || p.failed)
        return -1;
    return p.takeLocked(buffer, maxSize);
}

qint64 CipherReader::tryRead(char* buffer, qint64 maxSize)
{
    start();
    Pipe& p = *m_pipe;
    std::lock_guard lock(p.mutex);
    if (p.cancelled || p.failed)
        return -1;
    return p.takeLocked(buffer, maxSize);
}

qint64 CipherReader::bytesReady() const
{
    const Pipe& p = *m_pipe;
    std::lock_guard lock(p.mutex);
    qint64 n = 0;
    for (const Block& b : p.queue)
        n += qint64(b.len - b.pos);
    return n;
}

bool CipherReader::atEnd() const
{
    const Pipe& p = *m_pipe;
    std::lock_guard lock(p.mutex);
    return p.producedAll && p.queue.empty() && !p.failed && !p.cancelled;
}

void CipherReader::setReadyCallback(std::function<void()> callback)
{
    std::lock_guard lock(m_pipe->callbackMutex);
    m_pipe->callback = std::move(callback);
}

QString CipherReader::errorString() const
{
    std::lock_guard lock(m_pipe->mutex);
    return m_pipe->error;
}

void CipherReader::cancel()
{
    Pipe& p = *m_pipe;
    {
        std::lock_guard lock(p.mutex);
        if (!p.cancelled && !p.failed) {
            p.cancelled = true;
            p.error = QStringLiteral("cancelled");
        }
    }
    p.spaceFree.notify_all();
    p.dataReady.notify_all();
}

// ---------------------------------------------------------------------------------------------
// CipherWriter

struct CipherWriter::Pipe {
    Pipe(const crypto::Cipher& c, crypto::Direction d) : cipher(c), direction(d) {}

    const crypto::Cipher& cipher;
    const crypto::Direction direction;
    QString target;
    std::unique_ptr<ftp::LocalFileReplacement> file;  // replaces the target at commit
    int fd = -1;            // the file's descriptor, written by the cipher thread
    std::thread thread;
    std::atomic<qint64> taken{0};

    // The block being filled by write(); only the writing thread touches it.
    Block fill;

    mutable std::mutex mutex;
    std::condition_variable blocksQueued;  // the cipher thread waits for blocks
    std::condition_variable spaceFree;     // write() waits for room
    std::deque<Block> queue;
    std::vector<std::vector<std::uint8_t>> spare;
    bool finishing = false;  // commit(): no more blocks come
    bool failed = false;
    bool aborted = false;
    bool committed = false;
    QString error;

    void fail(const QString& text)
    {
        {
            std::lock_guard lock(mutex);
            if (!failed) {
                failed = true;
                error = text;
            }
        }
        spaceFree.notify_all();
    }

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
            {
                std::lock_guard lock(mutex);
                spare.push_back(std::move(block.data));
            }
            spaceFree.notify_all();
            if (!ok) {
                fail(QStringLiteral("cannot write %1: %2").arg(target, errnoText(err)));
                return;
            }
        }
    }

    // Hands the filled block to the cipher thread, waiting while the queue is full.
    bool pushFill()
    {
        std::unique_lock lock(mutex);
        spaceFree.wait(lock, [&] { return queue.size() < kQueueDepth || failed || aborted; });
        if (failed || aborted)
            return false;
        queue.push_back(std::move(fill));
        fill = Block{};
        lock.unlock();
        blocksQueued.notify_one();
        return true;
    }

    void stopThread()
    {
        if (thread.joinable())
            thread.join();
    }

    void removeTemp()
    {
        fd = -1;
        if (file)
            file->discard();
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
    if (p.file || p.thread.joinable() || p.committed)
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
    if (!p.file->commit(&why))
        return failWith(why);
    std::lock_guard lock(p.mutex);
    p.committed = true;
    return true;
}

void CipherWriter::abort()
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

QString CipherWriter::errorString() const
{
    std::lock_guard lock(m_pipe->mutex);
    return m_pipe->error;
}

// ---------------------------------------------------------------------------------------------
// The QIODevice adaptors

CipherSourceDevice::CipherSourceDevice(std::unique_ptr<CipherReader> reader, QObject* parent)
    : QIODevice(parent)
    , m_reader(std::move(reader))
{
    // readyRead on this device's own thread: the FTP engine reacts to it where it lives.
    m_reader->setReadyCallback([this] {
        QMetaObject::invokeMethod(this, [this] { emit readyRead(); }, Qt::QueuedConnection);
    });
    QIODevice::open(QIODevice::ReadOnly | QIODevice::Unbuffered);
    // Blocks finished before the callback was set would otherwise go unannounced.
    if (m_reader->bytesReady() > 0 || m_reader->atEnd())
        QMetaObject::invokeMethod(this, [this] { emit readyRead(); }, Qt::QueuedConnection);
}

CipherSourceDevice::~CipherSourceDevice()
{
    // The cipher thread ends before this object does, so no callback reaches a dead device;
    // readyRead events still queued go with the QObject.
    m_reader->setReadyCallback({});
    m_reader.reset();
}

bool CipherSourceDevice::atEnd() const { return m_reader->atEnd(); }

qint64 CipherSourceDevice::bytesAvailable() const { return m_reader->bytesReady() + QIODevice::bytesAvailable(); }

qint64 CipherSourceDevice::readData(char* data, qint64 maxSize)
{
    const qint64 n = m_reader->tryRead(data, maxSize);
    if (n < 0)
        setErrorString(m_reader->errorString());
    return n;
}

CipherSinkDevice::CipherSinkDevice(std::unique_ptr<CipherWriter> writer, QObject* parent)
    : QIODevice(parent)
    , m_writer(std::move(writer))
{
    QIODevice::open(QIODevice::WriteOnly | QIODevice::Unbuffered);
}

CipherSinkDevice::~CipherSinkDevice() = default;

qint64 CipherSinkDevice::writeData(const char* data, qint64 size)
{
    if (!m_writer->write(data, size)) {
        setErrorString(m_writer->errorString());
        return -1;
    }
    return size;
}

}  // namespace zephra::transfer
