#include "crypto/PosixIo.h"

#include <string_view>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace zephra::crypto {

bool writeAll(int fd, const void* data, std::size_t n, off_t offset)
{
    auto p = static_cast<const std::uint8_t*>(data);
    while (n > 0) {
        const ssize_t w = ::pwrite(fd, p, n, offset);
        if (w < 0 && errno == EINTR)
            continue;
        if (w <= 0)
            return false;
        p += w;
        n -= static_cast<std::size_t>(w);
        offset += w;
    }
    return true;
}

bool readFull(int fd, void* data, std::size_t n, off_t offset)
{
    auto p = static_cast<std::uint8_t*>(data);
    while (n > 0) {
        const ssize_t r = ::pread(fd, p, n, offset);
        if (r < 0 && errno == EINTR)
            continue;
        if (r < 0)
            return false;
        if (r == 0) {
            errno = 0;  // the file got shorter while we read it
            return false;
        }
        p += r;
        n -= static_cast<std::size_t>(r);
        offset += r;
    }
    return true;
}

namespace {

constexpr std::string_view kMarker = ".zephra-";
constexpr std::size_t kRandomPart = 6;   // mkostemp's XXXXXX
constexpr std::size_t kLongestKeptName = 200;

}  // namespace

bool isTemporaryName(const std::string& name)
{
    // ".<name>.zephra-XXXXXX" with a name of at least one character, or ".zephra-XXXXXX".
    if (name.size() < kMarker.size() + kRandomPart || name[0] != '.')
        return false;
    const std::size_t marker = name.size() - kRandomPart - kMarker.size();
    if (marker == 1 || name.compare(marker, kMarker.size(), kMarker) != 0)
        return false;
    for (std::size_t i = name.size() - kRandomPart; i < name.size(); ++i) {
        const char c = name[i];
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z')))
            return false;
    }
    return name.find('/') == std::string::npos;
}

int createTemporaryBeside(const std::string& dest, std::string* path)
{
    const std::size_t slash = dest.rfind('/');
    const std::string dir = slash == std::string::npos ? std::string() : dest.substr(0, slash + 1);
    std::string base = slash == std::string::npos ? dest : dest.substr(slash + 1);
    if (base.size() > kLongestKeptName)
        base.clear();
    std::string name = dir + (base.empty() ? std::string() : "." + base) + std::string(kMarker) + "XXXXXX";
    const int fd = ::mkostemp(name.data(), O_CLOEXEC);
    if (fd < 0)
        return -1;
    // Never blocks: nobody else can know the file yet.
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        const int saved = errno;
        ::unlink(name.c_str());
        ::close(fd);
        errno = saved;
        return -1;
    }
    *path = std::move(name);
    return fd;
}

int removeStaleTemporaries(const std::string& dir)
{
    DIR* d = ::opendir(dir.empty() ? "." : dir.c_str());
    if (!d)
        return 0;
    const int dirFd = ::dirfd(d);
    int removed = 0;
    while (const dirent* e = ::readdir(d)) {
        const std::string name = e->d_name;
        if (!isTemporaryName(name))
            continue;
        const int fd = ::openat(dirFd, name.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
        if (fd < 0)
            continue;
        struct stat st {};
        // Only plain files of this user that nobody holds: a live run keeps its lock.
        if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_uid == ::geteuid() &&
            ::flock(fd, LOCK_EX | LOCK_NB) == 0) {
            struct stat now {};
            // Still the same file under that name (not replaced in between)?
            if (::fstatat(dirFd, name.c_str(), &now, AT_SYMLINK_NOFOLLOW) == 0 && now.st_ino == st.st_ino &&
                now.st_dev == st.st_dev && ::unlinkat(dirFd, name.c_str(), 0) == 0)
                ++removed;
        }
        ::close(fd);
    }
    ::closedir(d);
    return removed;
}

}  // namespace zephra::crypto
