#include "crypto/FileJob.h"
#include "crypto/PosixIo.h"

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

std::string errnoText(int err) { return std::strerror(err); }

mode_t defaultFileMode()
{
    const mode_t mask = ::umask(0);
    ::umask(mask);
    return 0666 & ~mask;
}

fs::path directoryOf(const fs::path& p) { return p.has_parent_path() ? p.parent_path() : fs::path("."); }

}  // namespace

FileJob::FileJob(fs::path source, fs::path dest) : m_sourcePath(std::move(source)), m_destPath(std::move(dest)) {}

FileJob::~FileJob()
{
    if (m_source >= 0)
        ::close(m_source);
    if (m_output >= 0)
        ::close(m_output);
    if (!m_tempPath.empty())
        ::unlink(m_tempPath.c_str());
}

Status FileJob::readFailure() const
{
    return Status::failure(ErrorKind::SourceUnreadable,
                           "cannot read " + m_sourcePath.string() + ": " +
                               (errno ? errnoText(errno) : std::string("it changed while being read")));
}

Status FileJob::writeFailure() const
{
    return Status::failure(ErrorKind::DestinationUnwritable, "cannot write " + m_destPath.string() + ": " + errnoText(errno));
}

Status FileJob::open()
{
    m_source = ::open(m_sourcePath.c_str(), O_RDONLY | O_CLOEXEC);
    if (m_source < 0)
        return readFailure();
    struct stat srcStat {};
    if (::fstat(m_source, &srcStat) != 0)
        return readFailure();
    if (!S_ISREG(srcStat.st_mode))
        return Status::failure(ErrorKind::SourceUnreadable, m_sourcePath.string() + " is not a regular file");
    m_sourceSize = static_cast<std::uint64_t>(srcStat.st_size);

    mode_t mode = defaultFileMode();
    struct stat dstStat {};
    if (::stat(m_destPath.c_str(), &dstStat) == 0) {
        if (dstStat.st_dev == srcStat.st_dev && dstStat.st_ino == srcStat.st_ino)
            return Status::failure(ErrorKind::SameFile, "source and destination are the same file: " + m_destPath.string());
        if (S_ISDIR(dstStat.st_mode))
            return Status::failure(ErrorKind::DestinationUnwritable, m_destPath.string() + " is a directory");
        mode = dstStat.st_mode & 07777;
    }

    // Hidden and beside the destination, so the rename stays on one file system; locked while
    // open, so a later run can tell it from one a killed run left behind.
    std::string name;
    m_output = createTemporaryBeside(m_destPath.string(), &name);
    if (m_output < 0)
        return writeFailure();
    m_tempPath = name;
    if (::fchmod(m_output, mode) != 0)
        return writeFailure();
    return Status::success();
}

Status FileJob::reserve(std::uint64_t size)
{
    if (size == 0)
        return Status::success();
    // fallocate, not posix_fallocate: where the file system cannot reserve, the latter would
    // write the whole size in zeros first.
    if (::fallocate(m_output, 0, 0, static_cast<off_t>(size)) == 0)
        return Status::success();
    if (errno == ENOSPC || errno == EFBIG || errno == EDQUOT)
        return writeFailure();
    return Status::success();
}

Status FileJob::run(std::uint64_t blocks, std::uint64_t total, const BlockWork& work, const Progress& progress)
{
    const int threads = total >= kTwoThreadsFrom ? 2 : 1;
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
    auto loop = [&](int t) {
        for (std::uint64_t b = static_cast<std::uint64_t>(t); b < blocks && !stop; b += static_cast<std::uint64_t>(threads)) {
            std::uint64_t did = 0;
            if (Status s = work(t, b, &did); !s.ok()) {
                fail(std::move(s));
                return;
            }
            const std::uint64_t sofar = done.fetch_add(did) + did;
            if (t == 0 && progress && !progress(sofar, total))
                fail(Status::failure(ErrorKind::Cancelled, "cancelled"));
        }
    };

    if (progress && !progress(0, total))
        return Status::failure(ErrorKind::Cancelled, "cancelled");
    if (threads > 1) {
        std::thread helper(loop, 1);
        loop(0);
        helper.join();
    } else {
        loop(0);
    }
    return failure;
}

Status FileJob::commit()
{
    if (::fsync(m_output) != 0)
        return writeFailure();
    // Renamed while still open and locked, so no clean-up of stale files can take it first.
    if (::rename(m_tempPath.c_str(), m_destPath.c_str()) != 0)
        return writeFailure();
    m_tempPath.clear();
    if (::close(std::exchange(m_output, -1)) != 0)
        return writeFailure();
    // Flush the directory entry too; a file system that cannot is no reason to fail.
    const int dirFd = ::open(directoryOf(m_destPath).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dirFd >= 0) {
        ::fsync(dirFd);
        ::close(dirFd);
    }
    return Status::success();
}

}  // namespace zephra::crypto
