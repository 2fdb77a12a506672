#pragma once
// Small POSIX file helpers shared by the working files and the file operations.

#include <cstddef>
#include <sys/types.h>

namespace zephra::crypto {

// Writes all n bytes at offset, retrying short writes and interruptions; false with errno set.
bool writeAll(int fd, const void* data, std::size_t n, off_t offset);
// Reads exactly n bytes at offset; false with errno set, or errno 0 when the file ended first.
bool readFull(int fd, void* data, std::size_t n, off_t offset);

}  // namespace zephra::crypto
