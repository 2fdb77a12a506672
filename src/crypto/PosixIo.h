#pragma once
// Small POSIX file helpers shared by the working files and the file operations.

#include <cstddef>
#include <sys/types.h>

namespace zephra::crypto {

// Writes all n bytes at offset, retrying short writes and interruptions; false with errno set.
bool writeAll(int fd, const void* data, std::size_t n, off_t offset);

}  // namespace zephra::crypto
