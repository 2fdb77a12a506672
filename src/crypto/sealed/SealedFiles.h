#pragma once
// Sealing and opening one file into another, in the frame every file operation shares
// (crypto::FileJob): blocks of 64 chunks (4 MiB of plaintext), two threads from 16 MiB on, the
// result in a temporary file beside the destination that replaces it only when every chunk
// was sealed, or opened and authenticated. On any failure an existing destination stays as it
// was.

#include "crypto/Engine.h"
#include "crypto/sealed/SealedFormat.h"
#include "crypto/sealed/SealedKeys.h"

#include <cstdint>
#include <filesystem>
#include <memory>
#include <vector>

namespace zephra::crypto {
class FileJob;
}

namespace zephra::crypto::sealed {

Status sealFile(const MasterKey& master, const std::filesystem::path& source, const std::filesystem::path& dest,
                const Progress& progress = {});

// master must be derived with the parameters the file's header names (see readHeader);
// KeyParameters otherwise. WrongKey, Damaged, Truncated, NotSealed, Unsupported as the file is.
Status openFile(const MasterKey& master, const std::filesystem::path& source, const std::filesystem::path& dest,
                const Progress& progress = {});

// The same in two steps, for a caller that derives the master key for this one file (the
// command-line tool): prepare() opens and checks the files and reserves the destination's
// space, which can run while the key is derived on another thread; run() does the rest. A job
// that is dropped, failed or never run leaves the destination as it was.
class SealFileJob final {
public:
    SealFileJob(std::filesystem::path source, std::filesystem::path dest);
    ~SealFileJob();
    SealFileJob(const SealFileJob&) = delete;
    SealFileJob& operator=(const SealFileJob&) = delete;
    Status prepare();
    Status run(const MasterKey& master, const Progress& progress = {});

private:
    std::unique_ptr<FileJob> m_job;
    bool m_prepared = false;
};

class OpenFileJob final {
public:
    OpenFileJob(std::filesystem::path source, std::filesystem::path dest);
    ~OpenFileJob();
    OpenFileJob(const OpenFileJob&) = delete;
    OpenFileJob& operator=(const OpenFileJob&) = delete;
    // Also reads and checks the header and the size: NotSealed, Damaged, Truncated, Unsupported.
    Status prepare();
    const Header& header() const { return m_header; }  // after prepare(): the key's parameters
    // WrongKey or KeyParameters before anything is written; Damaged when a chunk fails.
    Status run(const MasterKey& master, const Progress& progress = {});

private:
    std::unique_ptr<FileJob> m_job;
    Header m_header;
    std::uint64_t m_plainSize = 0;
    bool m_prepared = false;
};

// The first kHeaderSize bytes of a file, fewer when it is shorter: enough for isSealed().
Status readFirstBytes(const std::filesystem::path& path, std::vector<std::uint8_t>& out);
// The header of a sealed file, as Header::read judges it.
Status readHeader(const std::filesystem::path& path, Header& out);

// What can be told about a file without its key.
struct Inspection {
    std::uint64_t size = 0;
    bool sealed = false;
    Status header;          // when sealed: what Header::read said
    Header fields;          // when the header is sound
    Status layout;          // when the header is sound: whether the size fits whole chunks
    std::uint64_t plainSize = 0;
    std::uint64_t chunks = 0;
};
// Fails only when the file cannot be read.
Status inspectFile(const std::filesystem::path& path, Inspection& out);

}  // namespace zephra::crypto::sealed
