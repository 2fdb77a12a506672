// The portable kernel. Bytes inside one period share the rotor arrangement; their offsets
// differ only by a multiple of each slot's turn. So a group of consecutive bytes runs its
// forty lookups interleaved (independent dependency chains instead of one), and the offsets of
// each rotor for the group are worked out once and used by both rounds. The rotor tables are
// written twice in a row, so a lookup is one add and one load.
#include "crypto/kernels/Kernels.h"

#include <algorithm>
#include <cassert>

namespace zephra::crypto {

namespace {

constexpr int kLookups = 2 * kRotorCount;
constexpr int kGroup = 8;
constexpr int kNoOffset = kRotorCount;  // row of zeros for lookups without an offset

struct Plan {
    const std::uint8_t* table[kLookups];
    std::uint8_t row[kLookups];            // which offset row each lookup uses
    std::uint8_t finalRow = kNoOffset;
    std::uint8_t offset[kRotorCount + 1];  // per rotor, at the first byte of the group (negated to decrypt)
    std::uint8_t turn[kRotorCount + 1];    // per rotor, per byte
};

void makePlan(const Machine& m, bool decrypt, const MachineState& st, Plan& plan)
{
    const LookupPlan& lp = m.plans[decrypt][static_cast<std::size_t>(st.periodIndex)];
    const auto& tables = decrypt ? m.inverse : m.forward;
    for (std::size_t k = 0; k < kLookups; ++k) {
        plan.table[k] = tables[lp.tableRotor[k]].data();
        plan.row[k] = lp.row[k];
    }
    plan.finalRow = lp.finalRow;
    const int shift = st.periodIndex % kRotorCount;
    for (int r = 0; r < kRotorCount; ++r) {
        const int slot = r >= shift ? r - shift : r - shift + kRotorCount;
        const std::uint8_t o = st.offset[static_cast<std::size_t>(r)];
        const std::uint8_t t = m.slotTurn[static_cast<std::size_t>(slot)];
        plan.offset[r] = decrypt ? static_cast<std::uint8_t>(-o) : o;
        plan.turn[r] = decrypt ? static_cast<std::uint8_t>(-t) : t;
    }
    plan.offset[kNoOffset] = plan.turn[kNoOffset] = 0;
}

template <int G>
inline void runGroup(Plan& plan, const std::uint8_t* in, std::uint8_t* out)
{
    std::uint32_t rows[kRotorCount + 1][G];
    for (int r = 0; r <= kRotorCount; ++r) {
        std::uint32_t o = plan.offset[r];
#pragma GCC unroll 8
        for (int v = 0; v < G; ++v) {
            rows[r][v] = o & 255u;
            o += plan.turn[r];
        }
        plan.offset[r] = static_cast<std::uint8_t>(o);
    }
    std::uint32_t x[G];
#pragma GCC unroll 8
    for (int v = 0; v < G; ++v)
        x[v] = in[v];
    for (int k = 0; k < kLookups; ++k) {
        const std::uint8_t* t = plan.table[k];
        const std::uint32_t* u = rows[plan.row[k]];
#pragma GCC unroll 8
        for (int v = 0; v < G; ++v)
            x[v] = t[x[v] + u[v]];
    }
    const std::uint32_t* u = rows[plan.finalRow];
#pragma GCC unroll 8
    for (int v = 0; v < G; ++v)
        out[v] = static_cast<std::uint8_t>(x[v] + u[v]);
}

// Lanes a whole machine period apart are in the identical state at every step, so they share
// every offset: each offset is worked out once per step for all lanes, and a lookup is one
// add and one load.
constexpr int kLanes = 8;

void runLanes(const Machine& m, bool decrypt, std::uint64_t position, const std::uint8_t* in,
              std::uint8_t* out, std::uint64_t spacing)
{
    MachineState st = MachineState::at(m, position);
    Plan plan;
    for (std::uint64_t t = 0; t < spacing;) {
        const auto len = static_cast<std::uint32_t>(
            std::min<std::uint64_t>(spacing - t, m.period[static_cast<std::size_t>(st.periodIndex)] - st.within));
        makePlan(m, decrypt, st, plan);
        for (std::uint64_t end = t + len; t < end; ++t) {
            std::uint32_t rows[kRotorCount + 1];
            for (int r = 0; r <= kRotorCount; ++r) {
                rows[r] = plan.offset[r];
                plan.offset[r] = static_cast<std::uint8_t>(plan.offset[r] + plan.turn[r]);
            }
            std::uint32_t x[kLanes];
#pragma GCC unroll 8
            for (int l = 0; l < kLanes; ++l)
                x[l] = in[static_cast<std::uint64_t>(l) * spacing + t];
            for (int k = 0; k < kLookups; ++k) {
                const std::uint8_t* tab = plan.table[k] + rows[plan.row[k]];
#pragma GCC unroll 8
                for (int l = 0; l < kLanes; ++l)
                    x[l] = tab[x[l]];
            }
            const std::uint32_t f = rows[plan.finalRow];
#pragma GCC unroll 8
            for (int l = 0; l < kLanes; ++l)
                out[static_cast<std::uint64_t>(l) * spacing + t] = static_cast<std::uint8_t>(x[l] + f);
        }
        st.advanceWithinPeriod(m, len);
    }
}

void runSequential(const Machine& m, bool decrypt, std::uint64_t position, const std::uint8_t* in,
                   std::uint8_t* out, std::size_t n);

}  // namespace

void runScalar(const Machine& m, bool decrypt, std::uint64_t position, const std::uint8_t* in,
               std::uint8_t* out, std::size_t n)
{
    const std::uint64_t periods = n / (kLanes * m.machinePeriod);
    if (periods > 0) {
        const std::uint64_t spacing = periods * m.machinePeriod;
        runLanes(m, decrypt, position, in, out, spacing);
        const std::uint64_t done = kLanes * spacing;
        position += done;
        in += done;
        out += done;
        n -= done;
    }
    runSequential(m, decrypt, position, in, out, n);
}

namespace {

void runSequential(const Machine& m, bool decrypt, std::uint64_t position, const std::uint8_t* in,
               std::uint8_t* out, std::size_t n)
{
    MachineState st = MachineState::at(m, position);
    Plan plan;
    while (n > 0) {
        const auto len = static_cast<std::uint32_t>(
            std::min<std::uint64_t>(n, m.period[static_cast<std::size_t>(st.periodIndex)] - st.within));
        makePlan(m, decrypt, st, plan);
        std::uint32_t i = 0;
        for (; i + kGroup <= len; i += kGroup)
            runGroup<kGroup>(plan, in + i, out + i);
        if (i < len) {
            // The last few bytes of the period as a whole group too: one dependency chain
            // per byte would cost more than the padding.
            std::uint8_t tailIn[kGroup] = {}, tailOut[kGroup];
            std::copy(in + i, in + len, tailIn);
            runGroup<kGroup>(plan, tailIn, tailOut);
            std::copy(tailOut, tailOut + (len - i), out + i);
        }
        st.advanceWithinPeriod(m, len);
        in += len;
        out += len;
        n -= len;
    }
}

}  // namespace
}  // namespace zephra::crypto
