#pragma once
// The rotor machine as position arithmetic. The machine state at byte k of a file depends only
// on k: which rotor sits in which slot follows from where k falls in the period table, and how
// far each rotor has turned is a per-rotor offset. So any byte range can be processed on its
// own, and positions a whole number of period-table cycles apart have the same rotors in the
// same slots, each turned by a constant amount per cycle.
//
// Offsets: the rotor r in a slot, turned to offset o, maps byte x to rotors[r][(x + o) & 255].
// Turning toward the front by n adds n to o; toward the back subtracts n.

#include "crypto/Keyspace.h"

#include <array>
#include <cstdint>
#include <vector>

namespace zephra::crypto {

// The 40 lookups of one byte as (table, offset) pairs for the rotor arrangement of one period.
// Encryption: slot 1..20 twice, table rotor r, index x + offset(r).
// Decryption: slot 20..1 twice through inverse tables; each lookup first takes off the offset
// of the slot looked up before it, and `finalRotor` is the last one to take off.
struct LookupPlan {
    std::array<std::uint8_t, 2 * kRotorCount> tableRotor{};
    std::array<std::int8_t, 2 * kRotorCount> offsetRotor{};  // -1: no offset
    std::array<std::uint8_t, 2 * kRotorCount> turn{};        // offset change per byte, negated as used
    bool negate = false;                                       // offsets are taken off, not added
    std::int8_t finalRotor = -1;                               // -1: no final offset
    std::uint8_t finalTurn = 0;
    // offsetRotor and finalRotor with "none" as kRotorCount, for tables of kRotorCount + 1 rows.
    std::array<std::uint8_t, 2 * kRotorCount> row{};
    std::uint8_t finalRow = kRotorCount;
};

struct Machine {
    // Rotor tables written twice in a row, so that table[x + o] needs no wrap for x, o < 256.
    alignas(64) std::array<std::array<std::uint8_t, 512>, kRotorCount> forward{};
    alignas(64) std::array<std::array<std::uint8_t, 512>, kRotorCount> inverse{};
    std::array<std::uint8_t, kRotorCount> slotTurn{};       // per slot: +step or -step, mod 256
    std::array<std::uint32_t, kPeriodCount> period{};         // bytes between slot shifts, 10..50
    std::array<std::uint64_t, kPeriodCount + 1> periodStart{};  // position within a cycle
    std::uint64_t cycle = 0;                                  // sum of the 200 periods
    std::array<std::uint8_t, kRotorCount> cycleTurn{};        // per rotor: turn over one cycle
    // Bytes after which the whole machine repeats: the first whole number of cycles after
    // which every rotor has turned a multiple of 256 positions.
    std::uint64_t machinePeriod = 0;
    // Offset of each rotor at the start of each period within cycle 0.
    std::array<std::array<std::uint8_t, kRotorCount>, kPeriodCount> startOffset{};
    // The lookups of each period, for encryption [0] and decryption [1].
    std::array<std::array<LookupPlan, kPeriodCount>, 2> plans{};

    static Machine build(const std::array<Rotor, kRotorCount>& rotors,
                         const std::array<std::uint8_t, kRotorCount>& directions,
                         const std::array<int, kRotorCount>& steps,
                         const std::array<std::int32_t, kPeriodCount + 1>& periodTable);

    // The rotor in slot i while period p of the table is in force.
    static int rotorInSlot(int slot, int periodIndex) { return (slot + periodIndex) % kRotorCount; }
    static int slotOfRotor(int rotor, int periodIndex)
    {
        return ((rotor - periodIndex) % kRotorCount + kRotorCount) % kRotorCount;
    }
};

// The machine at one byte position.
struct MachineState {
    int periodIndex = 0;        // 0..199
    std::uint32_t within = 0;   // bytes since the last slot shift, < period[periodIndex]
    std::array<std::uint8_t, kRotorCount> offset{};  // per rotor

    static MachineState at(const Machine& m, std::uint64_t position);
    // Moves on by n bytes that stay inside the current period (within + n <= period).
    void advanceWithinPeriod(const Machine& m, std::uint32_t n);
};

}  // namespace zephra::crypto
