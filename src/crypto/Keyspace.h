#pragma once
// Keyspace creation: key expansion to 12320 key numbers, the twenty rotors, the slot
// parameters and the 200-entry period table. Pure computation; the working files that
// record a keyspace are written by WorkingFiles.

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace zephra::crypto {

constexpr int kRotorCount = 20;
constexpr int kRounds = 2;
constexpr int kKeyNumberCount = 12320;
constexpr int kPeriodCount = 200;

using Rotor = std::array<std::uint8_t, 256>;

// Two characters read as a decimal number, taking the leading digits ("12" is 12, "1x" is 1,
// "x1" is 0). Keys reach the expansion only after validateKey, so only digits occur in practice.
int pairValue(char first, char second);

// Value of the first character of the decimal form of x (143 gives 1); 0 for x < 1.
int firstDigit(int x);

// The key written to 18 characters: doubled until long enough, then cut to 18.
std::string normaliseKey(std::string_view key);

// Key numbers 1..12320 in entries 1..12320; entry 0 is unused and 0. The key must not be empty.
// growth, if given, receives the count after every step of the two passes.
std::vector<std::int16_t> expandKey(std::string_view key, std::vector<int>* growth = nullptr);

// True when every key number lies in 1..256, the positions the rotor generation uses.
bool keyNumbersUsable(const std::vector<std::int16_t>& keyNumbers);

std::array<Rotor, kRotorCount> generateRotors(const std::vector<std::int16_t>& keyNumbers);

// Entries 1..200 used; entry 0 is 0. seed is three decimal digits.
std::array<std::int32_t, kPeriodCount + 1> buildPeriodTable(std::string_view seed);

struct Keyspace {
    std::array<Rotor, kRotorCount> rotors{};
    std::array<std::uint8_t, kRotorCount> directions{};   // 1: turns toward the front, 0: back
    std::array<std::int16_t, kRotorCount> slotNumbers{};  // recorded in k3.bin only
    std::array<std::int16_t, kRotorCount> steps{};        // k4.bin: 2..7
    std::array<std::int16_t, 10> k5{};
    std::array<std::int16_t, 10> k6{};
    std::string seed;                                     // three digits
    std::array<std::int32_t, kPeriodCount + 1> periodTable{};
};

// The whole keyspace for a key that validateKey accepted.
Keyspace deriveKeyspace(std::string_view key);

}  // namespace zephra::crypto
