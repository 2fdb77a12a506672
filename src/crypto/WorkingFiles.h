#pragma once
// The keyspace working files in one directory: their byte formats, writing them owner-only
// and flushed, reading them back at the start of a file operation, and the clean-up that
// overwrites and deletes all fifteen names.
//
// Formats kept byte for byte with files earlier versions wrote:
//   k1.bin, k1.brs, k1.bcr  20 records of 256 bytes, one rotor each
//   k2.bin                  text " 20  2 " CR LF (rotor count, rounds)
//   k3.bin                  one 100-byte ParameterRecord
//   k4.bin                  20 text lines " n " CR LF, the slot steps
//   k5.bin, k6.dat          10 text lines each, derived numbers nothing reads
// A number in a text file is written as a blank, its digits and a blank.

#include "crypto/Engine.h"
#include "crypto/Keyspace.h"

#include <array>
#include <cstdint>
#include <filesystem>
#include <span>
#include <string>
#include <vector>

namespace zephra::crypto {

struct ParameterRecord {
    static constexpr std::size_t kSize = 100;
    std::array<char, kRotorCount> letters{};   // 'U' (direction 1), 'D' (direction 0), or blanks
    std::array<float, kRotorCount> numbers{};

    static ParameterRecord fromKeyspace(const Keyspace& ks);
    static ParameterRecord blank();
    // Fails (returns false) on fewer than kSize bytes.
    static bool read(std::span<const std::uint8_t> bytes, ParameterRecord& out);
    std::array<std::uint8_t, kSize> write() const;
};

// " 20  2 " style: every number as blank, digits, blank; lines end with CR LF.
std::string textNumberLine(std::span<const int> numbers);
std::string textNumberLines(std::span<const std::int16_t> numbers);

// The contents of every file keyspace creation writes, by name.
struct WorkingFileImage {
    std::string name;
    std::vector<std::uint8_t> bytes;
};
std::vector<WorkingFileImage> keyspaceFiles(const Keyspace& ks);

// What a file operation reads back (InitEngine, k2.bin, k1.bcr), checked.
struct LoadedMachine {
    std::array<Rotor, kRotorCount> rotors{};
    std::array<std::uint8_t, kRotorCount> directions{};
    std::array<int, kRotorCount> steps{};
};
Status loadWorkingFiles(const std::filesystem::path& dir, LoadedMachine& out);

// Writes bytes as dir/name, owner-only, flushed to disk before returning.
Status writeWorkingFile(const std::filesystem::path& dir, const std::string& name,
                        std::span<const std::uint8_t> bytes);

// All fifteen names the clean-up handles, in its deletion order.
const std::array<const char*, 15>& cleanUpNames();

// Clean-up step one: overwrites every existing working file in dir in place (the "@" records,
// " 0  0 ", the blank parameter record, "xxxxx" lines) and flushes it. Deletes nothing.
Status wipeWorkingFiles(const std::filesystem::path& dir);
// Clean-up step two: deletes all fifteen names; missing ones are not an error.
Status deleteWorkingFiles(const std::filesystem::path& dir);

}  // namespace zephra::crypto
