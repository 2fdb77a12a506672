#include "crypto/Keyspace.h"

#include <cassert>
#include <cstdlib>
#include <utility>

namespace zephra::crypto {

namespace {

bool isDigit(char c) { return c >= '0' && c <= '9'; }

// One extension run of the key expansion: positions first, first+step, ... within 1..n
// (step < 0 walks down from first), each appending keyNumbers[i] + addend.
void extendKeyNumbers(std::vector<std::int16_t>& kn, int& count, int first, int step, int addend,
                      std::vector<int>* growth)
{
    const int n = count;
    for (int i = first; i >= 1 && i <= n; i += step)
        kn[static_cast<std::size_t>(++count)] = static_cast<std::int16_t>(kn[static_cast<std::size_t>(i)] + addend);
    if (growth)
        growth->push_back(count);
}

// s(x) and t(x) of the parameter derivation.
std::int16_t stepValue(int x)
{
    int v = firstDigit(x) + 1;
    return static_cast<std::int16_t>(v > 7 ? v - 5 : v);
}

std::int16_t tableValue(int x)
{
    int v = firstDigit(x) + 20;
    return static_cast<std::int16_t>(v > 22 ? v - 15 : v);
}

}  // namespace

int pairValue(char first, char second)
{
    if (!isDigit(first))
        return 0;
    if (!isDigit(second))
        return first - '0';
    return (first - '0') * 10 + (second - '0');
}

int firstDigit(int x)
{
    if (x < 1)
        return 0;
    while (x >= 10)
        x /= 10;
    return x;
}

std::string normaliseKey(std::string_view key)
{
    assert(!key.empty());
    std::string k(key);
    while (k.size() < 18)
        k += k;
    k.resize(18);
    return k;
}

std::vector<std::int16_t> expandKey(std::string_view key, std::vector<int>* growth)
{
    const std::string k = normaliseKey(key);
    const std::string doubled = k + std::string(k.rbegin(), k.rend());

    std::vector<std::int16_t> kn(kKeyNumberCount + 1, 0);
    int count = 0;
    for (int pass = 0; pass < 2; ++pass) {
        for (std::size_t i = 0; i < 36; i += 2)
            kn[static_cast<std::size_t>(++count)] = static_cast<std::int16_t>(pairValue(doubled[i], doubled[i + 1]));
        if (growth)
            growth->push_back(count);
        extendKeyNumbers(kn, count, 1, 1, 2, growth);
        extendKeyNumbers(kn, count, 1, 1, 3, growth);
        extendKeyNumbers(kn, count, 2, 2, 4, growth);
        extendKeyNumbers(kn, count, 3, 3, 5, growth);
        extendKeyNumbers(kn, count, 4, 4, 1, growth);
        extendKeyNumbers(kn, count, count, -6, 7, growth);
        extendKeyNumbers(kn, count, count, -1, 1, growth);
        extendKeyNumbers(kn, count, 1, 10, 2, growth);
    }
    assert(count == kKeyNumberCount);

    for (std::size_t i = 2; i <= kKeyNumberCount; ++i) {
        int v = kn[i];
        if (v == kn[i - 1])
            v += 2;
        if (v == 0)
            v = 1;
        if (v > 151)
            v -= 151;
        kn[i] = static_cast<std::int16_t>(v);
    }
    return kn;
}

bool keyNumbersUsable(const std::vector<std::int16_t>& keyNumbers)
{
    if (keyNumbers.size() != kKeyNumberCount + 1)
        return false;
    for (std::size_t i = 1; i < keyNumbers.size(); ++i) {
        if (keyNumbers[i] < 1 || keyNumbers[i] > 256)
            return false;
    }
    return true;
}

std::array<Rotor, kRotorCount> generateRotors(const std::vector<std::int16_t>& kn)
{
    assert(keyNumbersUsable(kn));
    Rotor work;
    for (int p = 0; p < 256; ++p)
        work[static_cast<std::size_t>(p)] = static_cast<std::uint8_t>(p);
    // The permutation is never physically turned: `front` is the index of its first entry.
    std::size_t front = 0;
    int cursor = 0;
    int exchanges = 0;
    std::array<Rotor, kRotorCount> rotors{};
    for (auto& rotor : rotors) {
        for (int rep = 0; rep < 750; ++rep) {
            if (++cursor > kKeyNumberCount)
                cursor = 1;
            const int a = kn[static_cast<std::size_t>(cursor)];
            if (++cursor > kKeyNumberCount)
                cursor = 1;
            const int b = kn[static_cast<std::size_t>(cursor)];
            std::swap(work[(front + static_cast<std::size_t>(a) - 1) & 255],
                      work[(front + static_cast<std::size_t>(b) - 1) & 255]);
            if (++exchanges == 2) {
                exchanges = 0;
                front = (front + 1) & 255;
            }
        }
        for (std::size_t p = 0; p < 256; ++p)
            rotor[p] = work[(front + p) & 255];
    }
    return rotors;
}

std::array<std::int32_t, kPeriodCount + 1> buildPeriodTable(std::string_view seed)
{
    assert(seed.size() == 3);
    std::array<std::int32_t, kPeriodCount + 1> t{};
    for (std::size_t i = 0; i < 3; ++i) {
        const int d = seed[i] - '0';
        t[i + 1] = d == 0 ? 10 : d;
    }
    t[4] = t[1] + t[2] + t[3];
    t[5] = t[1] + t[2] + 2;
    t[6] = t[2] + t[3] + 3;
    t[7] = t[1] + t[3] + 4;
    t[8] = t[1] + 5;
    t[9] = t[2] + 5;
    t[10] = t[3] + 5;

    struct Run {
        int first;  // 0: start at the last filled entry
        int step;
        int bound;  // lowest (walking down) or highest (walking up) entry visited
        int addend;
    };
    static constexpr Run kRuns[] = {
        {1, 2, 10, 2},   {2, 2, 10, 3},   {0, -3, 1, 7},   {1, 3, 27, 9},  {1, 5, 36, 13},
        {0, -5, 1, 17},  {1, 7, 53, 4},   {0, -7, 1, 6},   {2, 8, 70, 1},  {0, -8, 2, 2},
        {5, 5, 89, 3},   {0, -5, 5, 2},   {0, -1, 1, 1},
    };
    int count = 10;
    for (const Run& run : kRuns) {
        const int n = count;
        const int hi = run.step > 0 ? run.bound : n;
        const int lo = run.step > 0 ? 1 : run.bound;
        for (int k = run.first ? run.first : n; k >= lo && k <= hi && count < kPeriodCount; k += run.step)
            t[static_cast<std::size_t>(++count)] = t[static_cast<std::size_t>(k)] + run.addend;
    }
    assert(count == kPeriodCount);

    for (std::size_t k = 1; k <= kPeriodCount; ++k) {
        if (t[k] < 10)
            t[k] += 10;
        if (t[k] > 50)
            t[k] -= 20;
    }
    return t;
}

Keyspace deriveKeyspace(std::string_view key)
{
    const std::vector<std::int16_t> kn = expandKey(key);
    Keyspace ks;
    ks.rotors = generateRotors(kn);
    for (std::size_t i = 0; i < kRotorCount; ++i) {
        ks.directions[i] = kn[20 + i] > 45 ? 1 : 0;
        ks.slotNumbers[i] = stepValue(kn[40 + i]);
        ks.steps[i] = stepValue(kn[60 + i]);
    }
    for (std::size_t i = 0; i < 10; ++i) {
        ks.k5[i] = tableValue(kn[80 + i]);
        ks.k6[i] = tableValue(kn[90 + i]);
    }
    int x = kn[20] * kn[21];
    while (x > 999)
        x -= 999;
    if (x < 10)
        x += 10;
    const std::string s = "00" + std::to_string(x);
    ks.seed = s.substr(s.size() - 3);
    ks.periodTable = buildPeriodTable(ks.seed);
    return ks;
}

}  // namespace zephra::crypto
