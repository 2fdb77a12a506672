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
#include <vector>

namespace zephra::crypto::sealed {

Status sealFile(const MasterKey& master, const std::filesystem::path& source, const std::filesystem::path& dest,
                const Progress& progress = {});

// master must be derived with the parameters the file's header names (see readHeader);
// KeyParameters otherwise. WrongKey, Damaged, Truncated, NotSealed, Unsupported as the file is.
Status openFile(const MasterKey& master, const std::filesystem::path& source, const std::filesystem::path& dest,
                const Progress& progress = {});

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
