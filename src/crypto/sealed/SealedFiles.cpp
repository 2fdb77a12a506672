#include "crypto/sealed/SealedFiles.h"

#include "crypto/FileJob.h"
#include "crypto/PosixIo.h"
#include "crypto/sealed/ChunkCipher.h"
#include "crypto/sealed/SealedMessages.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <sys/stat.h>
#include <unistd.h>

namespace zephra::crypto::sealed {

namespace fs = std::filesystem;

namespace {

constexpr std::uint64_t kChunksPerBlock = 64;  // 4 MiB of plaintext

// One block's place in the file: chunks [first, end), their plaintext and sealed extents.
struct Block {
    std::uint64_t first = 0;
    std::uint64_t end = 0;
    std::uint64_t plainOffset = 0;
    std::size_t plainSize = 0;
    std::size_t sealedSize = 0;

    static Block of(std::uint64_t block, std::uint64_t plainTotal)
    {
        Block b;
        b.first = block * kChunksPerBlock;
        b.end = std::min(chunkCount(plainTotal), b.first + kChunksPerBlock);
        b.plainOffset = b.first * kChunkSize;
        b.plainSize = static_cast<std::size_t>(std::min<std::uint64_t>(plainTotal - b.plainOffset, (b.end - b.first) * kChunkSize));
        b.sealedSize = b.plainSize + static_cast<std::size_t>(b.end - b.first) * kTagSize;
        return b;
    }
};

std::uint64_t blockCount(std::uint64_t plainTotal) { return (chunkCount(plainTotal) + kChunksPerBlock - 1) / kChunksPerBlock; }

// Per thread: its own cipher context and buffers, made on first use.
template <class ChunkCipher>
struct Lane {
    std::unique_ptr<ChunkCipher> cipher;
    std::vector<std::uint8_t> plain;
    std::vector<std::uint8_t> sealed;

    ChunkCipher& prepare(const FileKey& key)
    {
        if (!cipher) {
            cipher = std::make_unique<ChunkCipher>(key);
            plain.resize(kChunksPerBlock * kChunkSize);
            sealed.resize(kChunksPerBlock * kSealedChunkSize);
        }
        return *cipher;
    }
};

Status libraryFailure() { return Status::failure(ErrorKind::Io, message::cipherLibrary()); }

Status readPrefix(int fd, std::uint64_t fileSize, std::vector<std::uint8_t>& out)
{
    out.resize(static_cast<std::size_t>(std::min<std::uint64_t>(fileSize, kHeaderSize)));
    return readFull(fd, out.data(), out.size(), 0) ? Status::success() : Status::failure(ErrorKind::SourceUnreadable, "");
}

}  // namespace

SealFileJob::SealFileJob(fs::path source, fs::path dest) : m_job(std::make_unique<FileJob>(std::move(source), std::move(dest))) {}

SealFileJob::~SealFileJob() = default;

Status SealFileJob::prepare()
{
    if (Status s = m_job->open(); !s.ok())
        return s;
    if (Status s = m_job->reserve(sealedSize(m_job->sourceSize())); !s.ok())
        return s;
    m_prepared = true;
    return Status::success();
}

Status SealFileJob::run(const MasterKey& master, const Progress& progress)
{
    if (!m_prepared)
        return Status::failure(ErrorKind::Io, "the sealing job was not prepared");
    FileJob& job = *m_job;
    std::unique_ptr<FileKey> key;
    if (Status s = FileKey::create(master, key); !s.ok())
        return s;
    if (!writeAll(job.outputFd(), key->headerBytes().data(), kHeaderSize, 0))
        return job.writeFailure();

    const std::uint64_t total = job.sourceSize();
    const std::uint64_t lastChunk = chunkCount(total) - 1;
    std::array<Lane<ChunkSealer>, 2> lanes;
    const auto work = [&](int thread, std::uint64_t index, std::uint64_t* done) {
        Lane<ChunkSealer>& lane = lanes[static_cast<std::size_t>(thread)];
        ChunkSealer& sealer = lane.prepare(*key);
        const Block b = Block::of(index, total);
        if (!readFull(job.sourceFd(), lane.plain.data(), b.plainSize, static_cast<off_t>(b.plainOffset)))
            return job.readFailure();
        for (std::uint64_t c = b.first; c < b.end; ++c) {
            const std::size_t at = static_cast<std::size_t>(c - b.first);
            const bool last = c == lastChunk;
            const std::size_t n = last ? static_cast<std::size_t>(total - c * kChunkSize) : kChunkSize;
            if (!sealer.seal(c, last, &lane.plain[at * kChunkSize], n, &lane.sealed[at * kSealedChunkSize]))
                return libraryFailure();
        }
        if (!writeAll(job.outputFd(), lane.sealed.data(), b.sealedSize, static_cast<off_t>(sealedOffsetOfChunk(b.first))))
            return job.writeFailure();
        *done = b.plainSize;
        return Status::success();
    };
    if (Status s = job.run(blockCount(total), total, work, progress); !s.ok())
        return s;
    return job.commit();
}

OpenFileJob::OpenFileJob(fs::path source, fs::path dest) : m_job(std::make_unique<FileJob>(std::move(source), std::move(dest))) {}

OpenFileJob::~OpenFileJob() = default;

Status OpenFileJob::prepare()
{
    FileJob& job = *m_job;
    if (Status s = job.open(); !s.ok())
        return s;
    std::vector<std::uint8_t> first;
    if (!readPrefix(job.sourceFd(), job.sourceSize(), first).ok())
        return job.readFailure();
    if (Status s = Header::read(first, m_header); !s.ok())
        return s;
    if (Status s = plainSizeOf(job.sourceSize(), m_plainSize); !s.ok())
        return s;
    if (Status s = job.reserve(m_plainSize); !s.ok())
        return s;
    m_prepared = true;
    return Status::success();
}

Status OpenFileJob::run(const MasterKey& master, const Progress& progress)
{
    if (!m_prepared)
        return Status::failure(ErrorKind::Io, "the opening job was not prepared");
    FileJob& job = *m_job;
    std::unique_ptr<FileKey> key;
    if (Status s = FileKey::forHeader(master, m_header, key); !s.ok())
        return s;

    const std::uint64_t total = m_plainSize;
    const std::uint64_t lastChunk = chunkCount(total) - 1;
    std::array<Lane<ChunkOpener>, 2> lanes;
    const auto work = [&](int thread, std::uint64_t index, std::uint64_t* done) {
        Lane<ChunkOpener>& lane = lanes[static_cast<std::size_t>(thread)];
        ChunkOpener& opener = lane.prepare(*key);
        const Block b = Block::of(index, total);
        if (!readFull(job.sourceFd(), lane.sealed.data(), b.sealedSize, static_cast<off_t>(sealedOffsetOfChunk(b.first))))
            return job.readFailure();
        for (std::uint64_t c = b.first; c < b.end; ++c) {
            const std::size_t at = static_cast<std::size_t>(c - b.first);
            const bool last = c == lastChunk;
            const std::size_t n = last ? static_cast<std::size_t>(total - c * kChunkSize) + kTagSize : kSealedChunkSize;
            if (!opener.open(c, last, &lane.sealed[at * kSealedChunkSize], n, &lane.plain[at * kChunkSize]))
                return chunkFailure(c);
        }
        if (!writeAll(job.outputFd(), lane.plain.data(), b.plainSize, static_cast<off_t>(b.plainOffset)))
            return job.writeFailure();
        *done = b.plainSize;
        return Status::success();
    };
    if (Status s = job.run(blockCount(total), total, work, progress); !s.ok())
        return s;
    return job.commit();
}

Status sealFile(const MasterKey& master, const fs::path& source, const fs::path& dest, const Progress& progress)
{
    SealFileJob job(source, dest);
    Status s = job.prepare();
    return s.ok() ? job.run(master, progress) : s;
}

Status openFile(const MasterKey& master, const fs::path& source, const fs::path& dest, const Progress& progress)
{
    OpenFileJob job(source, dest);
    Status s = job.prepare();
    return s.ok() ? job.run(master, progress) : s;
}

Status readFirstBytes(const fs::path& path, std::vector<std::uint8_t>& out)
{
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    const auto failure = [&] {
        return Status::failure(ErrorKind::SourceUnreadable,
                               "cannot read " + path.string() + ": " +
                                   (errno ? std::string(std::strerror(errno)) : std::string("it changed while being read")));
    };
    if (fd < 0)
        return failure();
    struct stat st {};
    Status result;
    if (::fstat(fd, &st) != 0)
        result = failure();
    else if (!S_ISREG(st.st_mode))
        result = Status::failure(ErrorKind::SourceUnreadable, path.string() + " is not a regular file");
    else if (!readPrefix(fd, static_cast<std::uint64_t>(st.st_size), out).ok())
        result = failure();
    ::close(fd);
    return result;
}

Status readHeader(const fs::path& path, Header& out)
{
    std::vector<std::uint8_t> first;
    if (Status s = readFirstBytes(path, first); !s.ok())
        return s;
    return Header::read(first, out);
}

Status inspectFile(const fs::path& path, Inspection& out)
{
    std::vector<std::uint8_t> first;
    if (Status s = readFirstBytes(path, first); !s.ok())
        return s;
    std::error_code ec;
    out = Inspection{};
    out.size = fs::file_size(path, ec);
    out.sealed = isSealed(first);
    if (!out.sealed)
        return Status::success();
    out.header = Header::read(first, out.fields);
    if (out.header.ok()) {
        out.layout = plainSizeOf(out.size, out.plainSize);
        if (out.layout.ok())
            out.chunks = chunkCount(out.plainSize);
    }
    return Status::success();
}

}  // namespace zephra::crypto::sealed
