#pragma once
// The frame every file-to-file cipher operation shares (the rotor format and the sealed one):
// the source opened and checked, the result written to a temporary file beside the
// destination, blocks processed on one thread or two, and the destination replaced only when
// every block succeeded. A failed, refused or cancelled job leaves an existing destination
// untouched and no temporary file behind.

#include "crypto/Engine.h"

#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>

namespace zephra::crypto {

// Jobs with less work than this run on the caller's thread only.
inline constexpr std::uint64_t kTwoThreadsFrom = std::uint64_t{16} << 20;

class FileJob final {
public:
    FileJob(std::filesystem::path source, std::filesystem::path dest);
    ~FileJob();
    FileJob(const FileJob&) = delete;
    FileJob& operator=(const FileJob&) = delete;

    // Opens the source (a readable regular file), refuses a destination that is the source
    // itself or a directory, and creates the temporary output with the permissions the
    // destination will have (those of the file it replaces, else 0666 less the umask).
    Status open();

    int sourceFd() const { return m_source; }
    std::uint64_t sourceSize() const { return m_sourceSize; }
    int outputFd() const { return m_output; }

    // Reserves the output's final size on the file system before the work starts, where the
    // file system can: a full disk is found before anything is computed, and the writes then
    // fill space already allocated. A file system without the call is no reason to fail.
    Status reserve(std::uint64_t size);

    // The failure of the read or write just attempted, from errno, naming the file.
    Status readFailure() const;
    Status writeFailure() const;

    // Work on one block: process it, add the bytes it accounts for (in the units of total)
    // to *done. Runs concurrently with other blocks when the job uses two threads.
    using BlockWork = std::function<Status(int thread, std::uint64_t block, std::uint64_t* done)>;

    // Runs work for blocks 0 .. blocks-1; from kTwoThreadsFrom units of total on, two threads
    // take turns (thread t does blocks t, t+2, ...). Stops at the first failure, which it
    // returns, or when progress (called before the first block and after each block of
    // thread 0) asks to stop (ErrorKind::Cancelled).
    Status run(std::uint64_t blocks, std::uint64_t total, const BlockWork& work, const Progress& progress);

    // Flushes the output and renames it over the destination.
    Status commit();

private:
    std::filesystem::path m_sourcePath;
    std::filesystem::path m_destPath;
    std::string m_tempPath;  // empty once committed or never created
    int m_source = -1;
    int m_output = -1;
    std::uint64_t m_sourceSize = 0;
};

}  // namespace zephra::crypto
