#include "crypto/PosixIo.h"

#include <cerrno>
#include <cstdint>
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

}  // namespace zephra::crypto
