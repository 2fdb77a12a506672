// The AVX-512 VBMI kernel (compiled with -mavx512f -mavx512bw -mavx512vbmi only).
//
// The range is cut into 64 lanes whose starts lie a whole number of period-table cycles
// apart. At every step all 64 lanes have the same rotors in the same slots, each lane's
// rotors turned further by a constant per lane, so one vector carries one byte of every lane.
// A 256-entry byte lookup across 64 lanes is two vpermi2b on the low seven bits and a select
// on the top bit. Tiles of 64 steps x 64 lanes are byte-transposed into a staging block (lane
// rows straight from memory would sit at large, often cache-set-aliasing strides), and up to
// 16 consecutive steps of one period share each rotor table held in registers.
#include "crypto/kernels/Kernels.h"

#include <algorithm>
#include <cassert>
#include <array>
#include <immintrin.h>
#include <utility>

namespace zephra::crypto {

namespace {

constexpr int kLanes = 64;
constexpr int kTile = 64;         // steps per staged tile
constexpr int kMaxRun = 16;       // steps sharing one table load
constexpr int kLookups = 2 * kRotorCount;

// Swaps bit `Bit` of the row index with bit `Bit` of the qword index across 8 registers.
template <int Bit>
inline void butterfly(__m512i r[8])
{
    constexpr int b = 1 << Bit;
    alignas(64) static constexpr long long lo[8] = {
        (0 & b) ? 8 + 0 - b : 0, (1 & b) ? 8 + 1 - b : 1, (2 & b) ? 8 + 2 - b : 2, (3 & b) ? 8 + 3 - b : 3,
        (4 & b) ? 8 + 4 - b : 4, (5 & b) ? 8 + 5 - b : 5, (6 & b) ? 8 + 6 - b : 6, (7 & b) ? 8 + 7 - b : 7};
    alignas(64) static constexpr long long hi[8] = {
        (0 & b) ? 8 + 0 : 0 + b, (1 & b) ? 8 + 1 : 1 + b, (2 & b) ? 8 + 2 : 2 + b, (3 & b) ? 8 + 3 : 3 + b,
        (4 & b) ? 8 + 4 : 4 + b, (5 & b) ? 8 + 5 : 5 + b, (6 & b) ? 8 + 6 : 6 + b, (7 & b) ? 8 + 7 : 7 + b};
    const __m512i il = _mm512_load_si512(lo);
    const __m512i ih = _mm512_load_si512(hi);
#pragma GCC unroll 8
    for (int g = 0; g < 8; ++g) {
        if (g & b)
            continue;
        const __m512i a = r[g];
        const __m512i c = r[g | b];
        r[g] = _mm512_permutex2var_epi64(a, il, c);
        r[g | b] = _mm512_permutex2var_epi64(a, ih, c);
    }
}

inline void transposeQwords(__m512i r[8])
{
    butterfly<0>(r);
    butterfly<1>(r);
    butterfly<2>(r);
}

// Byte-transposes a 64 x 64 matrix: load(row) gives input rows, store(row, v) takes output rows.
// Eight rows at a time: a qword transpose across eight registers plus one byte shuffle turns
// them into 8 x 8 blocks, and a second qword transpose assembles the output rows.
template <class Load, class Store>
inline void transpose64(Load load, Store store)
{
    alignas(64) static constexpr unsigned char kBytes[64] = {
        0, 8, 16, 24, 32, 40, 48, 56, 1, 9, 17, 25, 33, 41, 49, 57, 2, 10, 18, 26, 34, 42, 50, 58,
        3, 11, 19, 27, 35, 43, 51, 59, 4, 12, 20, 28, 36, 44, 52, 60, 5, 13, 21, 29, 37, 45, 53, 61,
        6, 14, 22, 30, 38, 46, 54, 62, 7, 15, 23, 31, 39, 47, 55, 63};
    const __m512i byteIdx = _mm512_load_si512(kBytes);
    alignas(64) __m512i tmp[64];
#pragma GCC unroll 1
    for (int g = 0; g < 8; ++g) {
        __m512i r[8];
#pragma GCC unroll 8
        for (int j = 0; j < 8; ++j)
            r[j] = load(8 * g + j);
        transposeQwords(r);
#pragma GCC unroll 8
        for (int b = 0; b < 8; ++b)  // maskz: GCC 12 warns on the unmasked form
            tmp[8 * b + g] = _mm512_maskz_permutexvar_epi8(~__mmask64{0}, byteIdx, r[b]);
    }
#pragma GCC unroll 1
    for (int b = 0; b < 8; ++b) {
        __m512i r[8];
#pragma GCC unroll 8
        for (int g = 0; g < 8; ++g)
            r[g] = tmp[8 * b + g];
        transposeQwords(r);
#pragma GCC unroll 8
        for (int s = 0; s < 8; ++s)
            store(8 * b + s, r[s]);
    }
}

inline __mmask64 firstBytes(int count)
{
    return count >= 64 ? ~__mmask64{0} : (__mmask64{1} << count) - 1;
}

// What one run of steps needs: the period's lookups, the rotor tables of the direction, and
// per rotor (row kRotorCount: none) its offsets in every lane at the run's first step and its
// turn per step.
struct RunParams {
    const LookupPlan* plan;
    const std::uint8_t* tables;  // kRotorCount tables of 512 bytes
    const __m512i* offsets;
    const __m512i* turns;
};

template <int N>
void runSteps(const RunParams& p, std::uint8_t* stage)
{
    __m512i x[N];
#pragma GCC unroll 16
    for (int v = 0; v < N; ++v)
        x[v] = _mm512_load_si512(stage + 64 * v);
    const LookupPlan& lp = *p.plan;
    for (int k = 0; k < kLookups; ++k) {
        const std::uint8_t* table = p.tables + 512 * static_cast<std::size_t>(lp.tableRotor[static_cast<std::size_t>(k)]);
        const __m512i t0 = _mm512_loadu_si512(table);
        const __m512i t1 = _mm512_loadu_si512(table + 64);
        const __m512i t2 = _mm512_loadu_si512(table + 128);
        const __m512i t3 = _mm512_loadu_si512(table + 192);
        const std::size_t row = lp.row[static_cast<std::size_t>(k)];
        __m512i w = p.offsets[row];
        const __m512i d = p.turns[row];
#pragma GCC unroll 16
        for (int v = 0; v < N; ++v) {
            const __m512i idx = _mm512_add_epi8(x[v], w);
            w = _mm512_add_epi8(w, d);
            const __m512i lo = _mm512_permutex2var_epi8(t0, idx, t1);
            const __m512i hi = _mm512_permutex2var_epi8(t2, idx, t3);
            x[v] = _mm512_mask_blend_epi8(_mm512_movepi8_mask(idx), lo, hi);
        }
    }
    if (lp.finalRotor >= 0) {
        __m512i w = p.offsets[lp.finalRow];
        const __m512i d = p.turns[lp.finalRow];
#pragma GCC unroll 16
        for (int v = 0; v < N; ++v) {
            x[v] = _mm512_add_epi8(x[v], w);
            w = _mm512_add_epi8(w, d);
        }
    }
#pragma GCC unroll 16
    for (int v = 0; v < N; ++v)
        _mm512_store_si512(stage + 64 * v, x[v]);
}

using RunFn = void (*)(const RunParams&, std::uint8_t*);

template <int... I>
constexpr auto makeRunTable(std::integer_sequence<int, I...>)
{
    return std::array<RunFn, sizeof...(I)>{&runSteps<I + 1>...};
}
constexpr auto kRuns = makeRunTable(std::make_integer_sequence<int, kMaxRun>{});

}  // namespace

void runAvx512Vbmi(const Machine& m, bool decrypt, std::uint64_t position, const std::uint8_t* in,
                   std::uint8_t* out, std::size_t n)
{
    // Fewer than about eight busy lanes cost more than the scalar kernel.
    if (n < 8 * m.cycle) {
        runScalar(m, decrypt, position, in, out, n);
        return;
    }
    const std::uint64_t cyclesPerLane = (n + kLanes * m.cycle - 1) / (kLanes * m.cycle);
    const std::uint64_t spacing = cyclesPerLane * m.cycle;
    std::uint64_t laneLen[kLanes];
    for (int l = 0; l < kLanes; ++l) {
        const std::uint64_t start = static_cast<std::uint64_t>(l) * spacing;
        laneLen[l] = start >= n ? 0 : std::min<std::uint64_t>(spacing, n - start);
    }

    // Lane l runs l * spacing bytes ahead of lane 0: each rotor turned further by l * its cycle turn.
    __m512i laneTurn[kRotorCount];
    for (int r = 0; r < kRotorCount; ++r) {
        alignas(64) std::uint8_t bytes[kLanes];
        const auto perLane = static_cast<std::uint8_t>((cyclesPerLane & 255) * m.cycleTurn[static_cast<std::size_t>(r)]);
        for (int l = 0; l < kLanes; ++l)
            bytes[l] = static_cast<std::uint8_t>(l * perLane);
        laneTurn[r] = _mm512_load_si512(bytes);
    }

    MachineState st = MachineState::at(m, position);
    const auto& tables = decrypt ? m.inverse : m.forward;
    alignas(64) std::uint8_t stage[kTile * 64];
    // Per rotor, refreshed each run: its offset in every lane (taken off when decrypting)
    // and its turn per step; entry kRotorCount stays zero for lookups without an offset.
    alignas(64) __m512i offsets[kRotorCount + 1];
    alignas(64) __m512i turns[kRotorCount + 1];
    offsets[kRotorCount] = turns[kRotorCount] = _mm512_setzero_si512();
    if (decrypt) {
        for (auto& v : laneTurn)
            v = _mm512_sub_epi8(_mm512_setzero_si512(), v);
    }
    RunParams params{nullptr, tables[0].data(), offsets, turns};

    for (std::uint64_t t0 = 0; t0 < spacing; t0 += kTile) {
        const int steps = static_cast<int>(std::min<std::uint64_t>(kTile, spacing - t0));
        auto valid = [&](int lane) -> int {
            const std::uint64_t len = laneLen[lane];
            return len <= t0 ? 0 : static_cast<int>(std::min<std::uint64_t>(steps, len - t0));
        };
        // Each lane row is its own stream; fetch the next tile's rows while this one runs.
        const bool prefetch = t0 + 2 * kTile <= spacing;
        transpose64(
            [&](int lane) {
                const int v = valid(lane);
                if (v == 0)
                    return _mm512_setzero_si512();
                const std::uint8_t* src = in + static_cast<std::uint64_t>(lane) * spacing + t0;
                if (v == kTile) {
                    if (prefetch) {
                        __builtin_prefetch(src + kTile);
                        __builtin_prefetch(src + 2 * kTile - 1);
                    }
                    return _mm512_loadu_si512(src);
                }
                return _mm512_maskz_loadu_epi8(firstBytes(v), src);
            },
            [&](int step, __m512i v) { _mm512_store_si512(stage + 64 * step, v); });

        for (int s = 0; s < steps;) {
            const int len = static_cast<int>(std::min<std::uint32_t>(
                {static_cast<std::uint32_t>(steps - s), static_cast<std::uint32_t>(kMaxRun),
                 m.period[static_cast<std::size_t>(st.periodIndex)] - st.within}));
            const LookupPlan& lp = m.plans[decrypt][static_cast<std::size_t>(st.periodIndex)];
            const int shift = st.periodIndex % kRotorCount;
            for (int r = 0; r < kRotorCount; ++r) {
                const auto o = st.offset[static_cast<std::size_t>(r)];
                offsets[r] = _mm512_add_epi8(laneTurn[r], _mm512_set1_epi8(static_cast<char>(decrypt ? -o : o)));
                const int slot = r >= shift ? r - shift : r - shift + kRotorCount;
                const auto t = m.slotTurn[static_cast<std::size_t>(slot)];
                turns[r] = _mm512_set1_epi8(static_cast<char>(decrypt ? -t : t));
            }
            params.plan = &lp;
            kRuns[static_cast<std::size_t>(len - 1)](params, stage + 64 * s);
            st.advanceWithinPeriod(m, static_cast<std::uint32_t>(len));
            s += len;
        }

        transpose64([&](int step) { return _mm512_load_si512(stage + 64 * step); },
                    [&](int lane, __m512i v) {
                        const int count = valid(lane);
                        if (count == 0)
                            return;
                        std::uint8_t* dst = out + static_cast<std::uint64_t>(lane) * spacing + t0;
                        if (count == kTile) {
                            if (prefetch) {
                                __builtin_prefetch(dst + kTile, 1);
                                __builtin_prefetch(dst + 2 * kTile - 1, 1);
                            }
                            _mm512_storeu_si512(dst, v);
                        } else {
                            _mm512_mask_storeu_epi8(dst, firstBytes(count), v);
                        }
                    });
    }
}

}  // namespace zephra::crypto
