#pragma once
// Every message the sealed format gives a user, in one place. Each is one sentence about "the
// file"; callers that handle several files put the file's name before it.

#include <cstdint>
#include <string>

namespace zephra::crypto::sealed::message {

inline std::string wrongKey() { return "This file was sealed with another key."; }
inline std::string notSealed() { return "The file is not in the sealed format."; }
inline std::string headerTruncated() { return "The file is incomplete: it ends inside its sealed-format header."; }
inline std::string headerDamaged() { return "The file is damaged: its sealed-format header fails its check."; }
inline std::string lastChunkMissing() { return "The file is incomplete: it ends before its last chunk."; }
inline std::string chunkFails(std::uint64_t offset)
{
    return "The file is damaged, incomplete or was altered: the chunk at byte " + std::to_string(offset) +
           " fails its check.";
}
inline std::string laterVersion(unsigned version)
{
    return "The file was sealed by a later version of ZephraFTP (format version " + std::to_string(version) +
           "); this version reads version 1.";
}
inline std::string unknownAlgorithm() { return "The file names a cipher or key derivation this version does not know."; }
inline std::string kdfRefused(std::uint32_t iterations, std::uint32_t memoryKiB, std::uint32_t lanes)
{
    return "The file asks for a key derivation this version refuses (" + std::to_string(iterations) + " iterations, " +
           std::to_string(memoryKiB) + " KiB, " + std::to_string(lanes) + " lanes).";
}
inline std::string keyParameters() { return "The file's key was derived with other parameters than this key."; }
inline std::string cipherLibrary() { return "The cipher library failed (out of memory?)."; }

}  // namespace zephra::crypto::sealed::message
