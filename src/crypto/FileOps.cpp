#include "crypto/FileOps.h"

#include "crypto/PosixIo.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <mutex>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <utility>

namespace zephra::crypto {

namespace fs = std::filesystem;

namespace {

// Files below this size run on the caller's thread only.
constexpr std::uint64_t kTwoThreadsFrom = std::uint64_t{16} << 20;

std::string errnoText(int err) { return std::strerror(err); }

bool readFull(int fd, std::uint8_t* p, std::size_t n, off_t offset)
{
    while (n > 0) {
        const ssize_t r = ::pread(fd, p, n, offset);
        if (r < 0 && errno == EINTR)
            continue;
        if (r < 0)
            return false;
        if (r == 0) {
            errno = 0;  // the source got shorter while we read it
            return false;
        }
        p += r;
        n -= static_cast<std::size_t>(r);
        offset += r;
    }
    return true;
}

mode_t defaultFileMode()
{
    const mode_t mask = ::umask(0);
    ::umask(mask);
    return 0666 & ~mask;
}

class TempFile {
public:
    ~TempFile()
    {
        if (m_fd >= 0)
            ::close(m_fd);
        if (!m_path.empty())
            ::unlink(m_path.c_str());
    }
    bool create(const fs::path& dest)
    {
        const fs::path dir = dest.has_parent_path() ? dest.parent_path() : fs::path(".");
        // Hidden and beside the destination, so the rename stays on one file system; a name
        // near the length limit gets a short temporary name instead of failing.
        std::string base = dest.filename().string();
        if (base.size() > 200)
            base.clear();
        std::string name = (dir / ("." + base + ".zephra-XXXXXX")).string();
        m_fd = ::mkostemp(name.data(), O_CLOEXEC);
        if (m_fd < 0)
            return false;
        m_path = name;
        return true;
    }
    int fd() const { return m_fd; }
    // Flushes, closes and renames the file to dest; afterwards nothing is left to remove.
    bool commit(const fs::path& dest)
    {
        if (::fsync(m_fd) != 0)
            return false;
        const int fd = std::exchange(m_fd, -1);
        if (::close(fd) != 0)
            return false;
        if (::rename(m_path.c_str(), dest.c_str()) != 0)
            return false;
        m_path.clear();
        // Flush the directory entry too; a file system that cannot is no reason to fail.
        const fs::path dir = dest.has_parent_path() ? dest.parent_path() : fs::path(".");
        const int dirFd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (dirFd >= 0) {
            ::fsync(dirFd);
            ::close(dirFd);
        }
        return true;
    }

private:
    int m_fd = -1;
    std::string m_path;
};

}  // namespace

std::uint8_t* BlockBuffers::get(int thread)
{
    auto& block = m_blocks[thread];
    if (block.empty())
        block.resize(kBlockSize);
    return block.data();
}

Status processFile(const Cipher& cipher, Direction dir, const fs::path& source, const fs::path& dest,
                   const Progress& progress, BlockBuffers& buffers)
{
    const int src = ::open(source.c_str(), O_RDONLY | O_CLOEXEC);
    if (src < 0)
        return Status::failure(ErrorKind::SourceUnreadable, "cannot read " + source.string() + ": " + errnoText(errno));
    struct Closer {
        int fd;
        ~Closer() { ::close(fd); }
    } srcCloser{src};
    struct stat srcStat {};
    if (::fstat(src, &srcStat) != 0)
        return Status::failure(ErrorKind::SourceUnreadable, "cannot read " + source.string() + ": " + errnoText(errno));
    if (!S_ISREG(srcStat.st_mode))
        return Status::failure(ErrorKind::SourceUnreadable, source.string() + " is not a regular file");

    mode_t mode = defaultFileMode();
    struct stat dstStat {};
    if (::stat(dest.c_str(), &dstStat) == 0) {
        if (dstStat.st_dev == srcStat.st_dev && dstStat.st_ino == srcStat.st_ino)
            return Status::failure(ErrorKind::SameFile,
                                   "source and destination are the same file: " + dest.string());
        if (S_ISDIR(dstStat.st_mode))
            return Status::failure(ErrorKind::DestinationUnwritable, dest.string() + " is a directory");
        mode = dstStat.st_mode & 07777;
    }

    TempFile temp;
    if (!temp.create(dest))
        return Status::failure(ErrorKind::DestinationUnwritable, "cannot write " + dest.string() + ": " + errnoText(errno));
    if (::fchmod(temp.fd(), mode) != 0)
        return Status::failure(ErrorKind::DestinationUnwritable, "cannot write " + dest.string() + ": " + errnoText(errno));

    const auto total = static_cast<std::uint64_t>(srcStat.st_size);
    const std::uint64_t blocks = (total + BlockBuffers::kBlockSize - 1) / BlockBuffers::kBlockSize;
    const int threads = total >= kTwoThreadsFrom ? BlockBuffers::kMaxThreads : 1;
    std::atomic<bool> stop{false};
    std::atomic<std::uint64_t> done{0};
    std::mutex failureMutex;
    Status failure;
    auto fail = [&](Status s) {
        std::lock_guard lock(failureMutex);
        if (failure.ok())
            failure = std::move(s);
        stop = true;
    };

    // Each thread reads, processes and writes its own blocks: t, t + threads, ...
    auto work = [&](int t) {
        std::uint8_t* buf = buffers.get(t);
        for (std::uint64_t b = static_cast<std::uint64_t>(t); b < blocks && !stop; b += static_cast<std::uint64_t>(threads)) {
            const std::uint64_t offset = b * BlockBuffers::kBlockSize;
            const auto len = static_cast<std::size_t>(std::min<std::uint64_t>(BlockBuffers::kBlockSize, total - offset));
            if (!readFull(src, buf, len, static_cast<off_t>(offset))) {
                fail(Status::failure(ErrorKind::SourceUnreadable,
                                     "cannot read " + source.string() + ": " +
                                         (errno ? errnoText(errno) : std::string("it changed while being read"))));
                return;
            }
            cipher.process(dir, offset, buf, buf, len);
            if (!writeAll(temp.fd(), buf, len, static_cast<off_t>(offset))) {
                fail(Status::failure(ErrorKind::DestinationUnwritable, "cannot write " + dest.string() + ": " + errnoText(errno)));
                return;
            }
            const std::uint64_t sofar = done.fetch_add(len) + len;
            if (t == 0 && progress && !progress(sofar, total))
                fail(Status::failure(ErrorKind::Cancelled, "cancelled"));
        }
    };

    if (progress && !progress(0, total))
        return Status::failure(ErrorKind::Cancelled, "cancelled");
    if (threads > 1) {
        std::thread helper(work, 1);
        work(0);
        helper.join();
    } else {
        work(0);
    }
    if (!failure.ok())
        return failure;
    if (!temp.commit(dest))
        return Status::failure(ErrorKind::DestinationUnwritable, "cannot write " + dest.string() + ": " + errnoText(errno));
    return Status::success();
}

}  // namespace zephra::crypto
