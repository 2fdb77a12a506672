#pragma once
// Small POSIX file helpers shared by the working files and the file operations.

#include <cstddef>
#include <string>
#include <sys/types.h>

namespace zephra::crypto {

// Writes all n bytes at offset, retrying short writes and interruptions; false with errno set.
bool writeAll(int fd, const void* data, std::size_t n, off_t offset);
// Reads exactly n bytes at offset; false with errno set, or errno 0 when the file ended first.
bool readFull(int fd, void* data, std::size_t n, off_t offset);

// The temporary files of this program: hidden, beside the file they will replace, named
// ".<name>.zephra-XXXXXX" (".zephra-XXXXXX" when the name is near the length limit), 0600.
// Whoever creates one holds an exclusive lock (flock) on it while it is open, and the lock goes
// with the process, so a file nobody holds a lock on was left by a process that is gone.

// Creates one for dest: the open descriptor (close-on-exec, locked), its path in *path;
// -1 with errno set on failure.
int createTemporaryBeside(const std::string& dest, std::string* path);

// Removes the temporary files in dir that this user owns and no living process holds: what a
// killed run left behind. Files of another program, or of a run still going, are left alone.
// Returns how many were removed.
int removeStaleTemporaries(const std::string& dir);

// Whether a file name has the form of one of those temporary files.
bool isTemporaryName(const std::string& name);

}  // namespace zephra::crypto
