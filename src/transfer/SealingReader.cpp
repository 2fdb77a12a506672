// SealingReader: a thread that reads a local file chunk by chunk, seals each (ChunkSealer, by
// index) and queues blocks of sealed chunks for the network, a few blocks ahead.
#include "transfer/SealedTransfer.h"

#include "crypto/PosixIo.h"
#include "crypto/sealed/ChunkCipher.h"
#include "crypto/sealed/KeyRing.h"
#include "crypto/sealed/SealedKeys.h"
#include "transfer/CipherBlocks.h"

#include <QFile>

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <deque>
#include <fcntl.h>
#include <mutex>
#include <optional>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace zephra::transfer {

namespace sealed = crypto::sealed;
using detail::Block;
using detail::errnoText;

namespace {
// 16 chunks (1 MiB of plaintext) a block, as the rotor streams' blocks; the first block also
// carries the header.
constexpr std::uint64_t kChunksPerBlock = 16;
constexpr std::size_t kBlockBytes = sealed::kHeaderSize + kChunksPerBlock * sealed::kSealedChunkSize;
}  // namespace

struct SealingReader::Pipe : detail::ReadyQueue {
    explicit Pipe(std::shared_ptr<sealed::KeyRing> k) : keys(std::move(k)) {}

    std::shared_ptr<sealed::KeyRing> keys;
    QString path;
    int fd = -1;
    qint64 plainSize = 0;
    // Resuming: the header already on the server and the chunk boundary to go on from.
    std::optional<sealed::HeaderBytes> resumeHeader;
    sealed::ChunkPosition from = sealed::kStartOfFile;
    std::uint64_t skip = 0;  // resuming: bytes from the boundary on that the server holds already

    bool failStatus(const crypto::Status& status)
    {
        fail(QString::fromStdString(status.message));
        return false;
    }

    bool readFull(std::uint8_t* p, std::size_t n, std::uint64_t offset)
    {
        if (crypto::readFull(fd, p, n, static_cast<off_t>(offset)))
            return true;
        fail(errno == 0 ? QStringLiteral("cannot read %1: it got shorter while being sent").arg(path)
                        : QStringLiteral("cannot read %1: %2").arg(path, errnoText(errno)));
        return false;
    }

    bool sizeUnchanged()
    {
        struct stat st {};
        if (::fstat(fd, &st) != 0) {
            fail(QStringLiteral("cannot read %1: %2").arg(path, errnoText(errno)));
            return false;
        }
        if (st.st_size != plainSize) {
            fail(QStringLiteral("cannot read %1: its size changed while it was being sent").arg(path));
            return false;
        }
        return true;
    }

    // The file's key: a new one (a fresh salt), or when resuming the key of the header sent.
    bool makeKey(std::unique_ptr<sealed::FileKey>& key)
    {
        if (!keys)
            return failStatus(crypto::Status::failure(crypto::ErrorKind::NoKeyspace, "no key has been accepted"));
        sealed::KdfParams params = sealed::kDefaultKdf;
        sealed::Header header;
        if (resumeHeader) {
            if (crypto::Status s = sealed::Header::read(*resumeHeader, header); !s.ok())
                return failStatus(s);
            params = header.kdf;
        }
        std::shared_ptr<const sealed::MasterKey> master;
        if (crypto::Status s = keys->master(params, master); !s.ok())
            return failStatus(s);
        const crypto::Status made = resumeHeader ? sealed::FileKey::forHeader(*master, header, key)
                                                 : sealed::FileKey::create(*master, key);
        return made.ok() || failStatus(made);
    }

    void run()
    {
        std::unique_ptr<sealed::FileKey> key;
        if (!makeKey(key))
            return;
        sealed::ChunkSealer sealer(*key);
        const auto total = static_cast<std::uint64_t>(plainSize);
        const std::uint64_t chunks = sealed::chunkCount(total);
        bool headerDue = from.sealedOffset == 0;
        for (std::uint64_t chunk = from.chunk; chunk < chunks;) {
            std::vector<std::uint8_t> buffer;
            {
                std::unique_lock lock(mutex);
                spaceFree.wait(lock, [&] { return queue.size() < detail::kQueueDepth || cancelled || failed; });
                if (cancelled || failed)
                    return;
                if (spare.empty()) {
                    buffer.resize(kBlockBytes);
                } else {
                    buffer = std::move(spare.back());
                    spare.pop_back();
                }
            }
            std::size_t len = 0;
            if (headerDue) {
                const sealed::HeaderBytes& header = key->headerBytes();
                std::copy(header.begin(), header.end(), buffer.begin());
                len = header.size();
                headerDue = false;
            }
            const std::uint64_t end = std::min(chunks, chunk + kChunksPerBlock);
            for (; chunk < end; ++chunk) {
                const std::uint64_t offset = chunk * sealed::kChunkSize;
                const bool last = chunk + 1 == chunks;
                const auto n = static_cast<std::size_t>(last ? total - offset : sealed::kChunkSize);
                std::uint8_t* p = buffer.data() + len;
                if (!readFull(p, n, offset))
                    return;
                if (!sealer.seal(chunk, last, p, n, p)) {
                    failStatus(crypto::Status::failure(crypto::ErrorKind::Io, "the cipher library failed"));
                    return;
                }
                len += n + sealed::kTagSize;
            }
            // The last chunk goes out only if the file still has the size announced to the
            // server (and sealed into the chunk count).
            const bool done = chunk == chunks;
            if (done && !sizeUnchanged())
                return;
            {
                std::lock_guard lock(mutex);
                if (cancelled)
                    return;
                // The first block starts where the server's copy ends (within the chunk).
                const std::size_t held = std::exchange(skip, 0);
                queue.push_back(Block{std::move(buffer), len, held, 0});
                producedAll = done;
            }
            dataReady.notify_all();
            notify();
        }
    }

};

SealingReader::SealingReader(std::shared_ptr<sealed::KeyRing> keys) : m_pipe(std::make_unique<Pipe>(std::move(keys))) {}

SealingReader::~SealingReader()
{
    cancel();
    if (m_pipe->thread.joinable())
        m_pipe->thread.join();
    if (m_pipe->fd >= 0)
        ::close(m_pipe->fd);
}

bool SealingReader::open(const QString& path, QString* error)
{
    auto setError = [&](const QString& text) {
        if (error)
            *error = text;
        std::lock_guard lock(m_pipe->mutex);
        m_pipe->error = text;
        return false;
    };
    if (m_pipe->fd >= 0)
        return setError(QStringLiteral("the stream is already open"));
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC);
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
    m_pipe->plainSize = st.st_size;
    return true;
}

bool SealingReader::resumeAt(const sealed::HeaderBytes& header, sealed::ChunkPosition from, QString* error,
                             qint64 skip)
{
    Pipe& p = *m_pipe;
    const auto plain = static_cast<std::uint64_t>(p.plainSize);
    // A boundary inside this file, and one resumeFromSealed gives for it; what is skipped lies
    // in the chunk that starts there.
    const std::uint64_t chunkEnd = std::min<std::uint64_t>(sealed::sealedSize(plain), from.sealedOffset + sealed::kSealedChunkSize);
    if (p.fd < 0 || p.thread.joinable() || from.plainOffset > plain || from.plainOffset % sealed::kChunkSize != 0
        || from != sealed::resumeFromSealed(from.sealedOffset, plain) || skip < 0
        || (skip > 0 && (from.sealedOffset == 0 || from.sealedOffset + std::uint64_t(skip) > chunkEnd))) {
        if (error)
            *error = QStringLiteral("cannot resume %1 at byte %2").arg(p.path).arg(from.sealedOffset);
        return false;
    }
    p.resumeHeader = header;
    p.from = from;
    p.skip = std::uint64_t(skip);
    return true;
}

void SealingReader::start()
{
    std::call_once(m_pipe->started, [pipe = m_pipe.get()] {
        if (pipe->fd >= 0)
            pipe->thread = std::thread([pipe] { pipe->run(); });
    });
}

qint64 SealingReader::plainSize() const { return m_pipe->plainSize; }

qint64 SealingReader::size() const
{
    return qint64(sealed::sealedSize(static_cast<std::uint64_t>(m_pipe->plainSize)) - m_pipe->from.sealedOffset - m_pipe->skip);
}

qint64 SealingReader::read(char* buffer, qint64 maxSize)
{
    start();
    return m_pipe->read(buffer, maxSize);
}

qint64 SealingReader::tryRead(char* buffer, qint64 maxSize)
{
    start();
    return m_pipe->tryRead(buffer, maxSize);
}

qint64 SealingReader::bytesReady() const { return m_pipe->bytesReady(); }

bool SealingReader::atEnd() const { return m_pipe->atEnd(); }

void SealingReader::setReadyCallback(std::function<void()> callback) { m_pipe->setReadyCallback(std::move(callback)); }

QString SealingReader::errorString() const { return m_pipe->errorString(); }

void SealingReader::cancel() { m_pipe->cancel(); }

}  // namespace zephra::transfer
