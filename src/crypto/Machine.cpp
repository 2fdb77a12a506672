#include "crypto/Machine.h"

#include <algorithm>
#include <cassert>

namespace zephra::crypto {

namespace {

LookupPlan makePlan(const Machine& m, bool decrypt, int periodIndex)
{
    LookupPlan plan;
    plan.negate = decrypt;
    auto turnOf = [&](int rotor) {
        const auto t = m.slotTurn[static_cast<std::size_t>(Machine::slotOfRotor(rotor, periodIndex))];
        return static_cast<std::uint8_t>(decrypt ? -t : t);
    };
    for (int k = 0; k < 2 * kRotorCount; ++k) {
        const int slot = decrypt ? kRotorCount - 1 - k % kRotorCount : k % kRotorCount;
        const auto ki = static_cast<std::size_t>(k);
        plan.tableRotor[ki] = static_cast<std::uint8_t>(Machine::rotorInSlot(slot, periodIndex));
        if (!decrypt)
            plan.offsetRotor[ki] = static_cast<std::int8_t>(plan.tableRotor[ki]);
        else
            plan.offsetRotor[ki] = k == 0 ? -1 : static_cast<std::int8_t>(plan.tableRotor[ki - 1]);
        plan.turn[ki] = plan.offsetRotor[ki] < 0 ? 0 : turnOf(plan.offsetRotor[ki]);
        plan.row[ki] = static_cast<std::uint8_t>(plan.offsetRotor[ki] < 0 ? kRotorCount : plan.offsetRotor[ki]);
    }
    if (decrypt) {
        plan.finalRotor = static_cast<std::int8_t>(plan.tableRotor[2 * kRotorCount - 1]);
        plan.finalTurn = turnOf(plan.finalRotor);
        plan.finalRow = static_cast<std::uint8_t>(plan.finalRotor);
    }
    return plan;
}

}  // namespace

Machine Machine::build(const std::array<Rotor, kRotorCount>& rotors,
                       const std::array<std::uint8_t, kRotorCount>& directions,
                       const std::array<int, kRotorCount>& steps,
                       const std::array<std::int32_t, kPeriodCount + 1>& periodTable)
{
    Machine m;
    for (std::size_t r = 0; r < kRotorCount; ++r) {
        for (std::size_t x = 0; x < 256; ++x) {
            m.forward[r][x] = m.forward[r][x + 256] = rotors[r][x];
            m.inverse[r][rotors[r][x]] = m.inverse[r][rotors[r][x] + 256] = static_cast<std::uint8_t>(x);
        }
    }
    for (std::size_t i = 0; i < kRotorCount; ++i) {
        const auto n = static_cast<std::uint8_t>(steps[i]);
        m.slotTurn[i] = directions[i] ? n : static_cast<std::uint8_t>(256 - n);
    }
    std::uint64_t pos = 0;
    std::array<std::uint8_t, kRotorCount> off{};
    for (int p = 0; p < kPeriodCount; ++p) {
        assert(periodTable[static_cast<std::size_t>(p + 1)] >= 1);
        m.period[static_cast<std::size_t>(p)] = static_cast<std::uint32_t>(periodTable[static_cast<std::size_t>(p + 1)]);
        m.periodStart[static_cast<std::size_t>(p)] = pos;
        m.startOffset[static_cast<std::size_t>(p)] = off;
        for (int r = 0; r < kRotorCount; ++r) {
            const auto turn = m.slotTurn[static_cast<std::size_t>(slotOfRotor(r, p))];
            off[static_cast<std::size_t>(r)] = static_cast<std::uint8_t>(off[static_cast<std::size_t>(r)] +
                                                                         turn * m.period[static_cast<std::size_t>(p)]);
        }
        pos += m.period[static_cast<std::size_t>(p)];
    }
    m.periodStart[kPeriodCount] = pos;
    m.cycle = pos;
    m.cycleTurn = off;
    std::uint64_t cycles = 1;
    for (std::uint8_t turn : off) {
        while ((cycles * turn) % 256 != 0)
            cycles *= 2;
    }
    m.machinePeriod = cycles * m.cycle;
    for (int p = 0; p < kPeriodCount; ++p) {
        m.plans[0][static_cast<std::size_t>(p)] = makePlan(m, false, p);
        m.plans[1][static_cast<std::size_t>(p)] = makePlan(m, true, p);
    }
    return m;
}

MachineState MachineState::at(const Machine& m, std::uint64_t position)
{
    MachineState s;
    const std::uint64_t cycles = position / m.cycle;
    const std::uint64_t inCycle = position % m.cycle;
    const auto it = std::upper_bound(m.periodStart.begin(), m.periodStart.end(), inCycle);
    s.periodIndex = static_cast<int>(it - m.periodStart.begin()) - 1;
    assert(s.periodIndex >= 0 && s.periodIndex < kPeriodCount);
    const auto p = static_cast<std::size_t>(s.periodIndex);
    s.within = static_cast<std::uint32_t>(inCycle - m.periodStart[p]);
    for (int r = 0; r < kRotorCount; ++r) {
        const auto ri = static_cast<std::size_t>(r);
        const auto turn = m.slotTurn[static_cast<std::size_t>(Machine::slotOfRotor(r, s.periodIndex))];
        s.offset[ri] = static_cast<std::uint8_t>(m.startOffset[p][ri] + (cycles & 255) * m.cycleTurn[ri] +
                                                 s.within * turn);
    }
    return s;
}

void MachineState::advanceWithinPeriod(const Machine& m, std::uint32_t n)
{
    assert(within + n <= m.period[static_cast<std::size_t>(periodIndex)]);
    const int shift = periodIndex % kRotorCount;
    for (int r = 0; r < kRotorCount; ++r) {
        const int slot = r >= shift ? r - shift : r - shift + kRotorCount;
        const auto turn = m.slotTurn[static_cast<std::size_t>(slot)];
        offset[static_cast<std::size_t>(r)] = static_cast<std::uint8_t>(offset[static_cast<std::size_t>(r)] + n * turn);
    }
    within += n;
    if (within == m.period[static_cast<std::size_t>(periodIndex)]) {
        within = 0;
        periodIndex = (periodIndex + 1) % kPeriodCount;
    }
}

}  // namespace zephra::crypto
