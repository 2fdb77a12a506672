// The portable kernel. Bytes inside one period share the rotor arrangement; their offsets
// differ only by a multiple of each slot's turn, so eight consecutive bytes run their forty
// lookups interleaved (eight independent dependency chains instead of one).
#include "crypto/kernels/Kernels.h"

#include <algorithm>
#include <cassert>

namespace zephra::crypto {

namespace {

constexpr int kLookups = 2 * kRotorCount;

struct Plan {
    const std::uint8_t* table[kLookups];
    std::uint8_t offset[kLookups];  // at the first byte of the group
    std::uint8_t turn[kLookups];    // added per byte
    std::uint8_t finalOffset = 0;
    std::uint8_t finalTurn = 0;
};

void makePlan(const Machine& m, bool decrypt, const MachineState& st, Plan& plan)
{
    const LookupPlan& lp = m.plans[decrypt][static_cast<std::size_t>(st.periodIndex)];
    const auto& tables = decrypt ? m.inverse : m.forward;
    auto offsetOf = [&](int rotor) -> std::uint8_t {
        if (rotor < 0)
            return 0;
        const std::uint8_t o = st.offset[static_cast<std::size_t>(rotor)];
        return lp.negate ? static_cast<std::uint8_t>(-o) : o;
    };
    for (std::size_t k = 0; k < kLookups; ++k) {
        plan.table[k] = tables[lp.tableRotor[k]].data();
        plan.offset[k] = offsetOf(lp.offsetRotor[k]);
        plan.turn[k] = lp.turn[k];
    }
    plan.finalOffset = offsetOf(lp.finalRotor);
    plan.finalTurn = lp.finalTurn;
}

template <int G>
inline void runGroup(Plan& plan, const std::uint8_t* in, std::uint8_t* out)
{
    unsigned x[G];
    for (int v = 0; v < G; ++v)
        x[v] = in[v];
    for (int k = 0; k < kLookups; ++k) {
        const std::uint8_t* t = plan.table[k];
        const unsigned o = plan.offset[k];
        const unsigned d = plan.turn[k];
        for (int v = 0; v < G; ++v)
            x[v] = t[x[v] + ((o + static_cast<unsigned>(v) * d) & 255u)];
        plan.offset[k] = static_cast<std::uint8_t>(o + G * d);
    }
    for (int v = 0; v < G; ++v)
        out[v] = static_cast<std::uint8_t>(x[v] + plan.finalOffset + static_cast<unsigned>(v) * plan.finalTurn);
    plan.finalOffset = static_cast<std::uint8_t>(plan.finalOffset + G * plan.finalTurn);
}

}  // namespace

void runScalar(const Machine& m, bool decrypt, std::uint64_t position, const std::uint8_t* in,
               std::uint8_t* out, std::size_t n)
{
    MachineState st = MachineState::at(m, position);
    Plan plan;
    while (n > 0) {
        const auto len = static_cast<std::uint32_t>(
            std::min<std::uint64_t>(n, m.period[static_cast<std::size_t>(st.periodIndex)] - st.within));
        makePlan(m, decrypt, st, plan);
        std::uint32_t i = 0;
        for (; i + 8 <= len; i += 8)
            runGroup<8>(plan, in + i, out + i);
        for (; i < len; ++i)
            runGroup<1>(plan, in + i, out + i);
        st.advanceWithinPeriod(m, len);
        in += len;
        out += len;
        n -= len;
    }
}

}  // namespace zephra::crypto
