// Keyspace creation: key expansion, rotors, parameters, period table, against hand-computed
// values and against the literal implementation.
#include "LiteralMachine.h"
#include "crypto/Engine.h"
#include "crypto/Keyspace.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>

namespace zephra::crypto {
namespace {

std::vector<std::string> sampleKeys()
{
    // Keys holding zeros may make key numbers out of range ("1000000", "000100").
    std::vector<std::string> keys = {"123456789", "1", "9", "12345", "987654321987654321",
                                     "111111111", "1234567891234567891234", "5050505", "10", "01",
                                     "90000", "7777777777", "3141592653589793238", "1000000", "000100"};
    std::mt19937 rng(7);
    for (int i = 0; i < 12; ++i) {
        std::string k;
        const int len = 1 + static_cast<int>(rng() % 24);
        for (int j = 0; j < len; ++j)
            k += static_cast<char>('1' + rng() % 9);
        keys.push_back(k);
    }
    return keys;
}

TEST(KeyExpansion, NormalisesTheKeyToEighteenCharacters)
{
    EXPECT_EQ(normaliseKey("123456789"), "123456789123456789");
    EXPECT_EQ(normaliseKey("12345"), "123451234512345123");
    EXPECT_EQ(normaliseKey("7"), "777777777777777777");
    EXPECT_EQ(normaliseKey("12345678912345678999"), "123456789123456789");
}

TEST(KeyExpansion, FirstEighteenKeyNumbersArePairsOfTheDoubledKey)
{
    // Hand-computed: "123456789123456789" followed by "987654321987654321".
    const auto kn = expandKey("123456789");
    const int expected[18] = {12, 34, 56, 78, 91, 23, 45, 67, 89, 98, 76, 54, 32, 19, 87, 65, 43, 21};
    for (int i = 0; i < 18; ++i)
        EXPECT_EQ(kn[static_cast<std::size_t>(i + 1)], expected[i]) << "key number " << i + 1;
    EXPECT_EQ(kn[0], 0);
}

TEST(KeyExpansion, GrowsByTheDescribedCountsToExactly12320)
{
    std::vector<int> growth;
    const auto kn = expandKey("123456789", &growth);
    const std::vector<int> expected = {18,  36,  72,   108,  144,  180,  210,  420,   462,   480,
                                       960, 1920, 2880, 3840, 4800, 5600, 11200, 12320};
    EXPECT_EQ(growth, expected);
    EXPECT_EQ(kn.size(), 12321u);
}

TEST(KeyExpansion, PairValueTakesLeadingDigits)
{
    EXPECT_EQ(pairValue('1', '2'), 12);
    EXPECT_EQ(pairValue('0', '5'), 5);
    EXPECT_EQ(pairValue('0', '0'), 0);
    EXPECT_EQ(pairValue('7', 'x'), 7);
    EXPECT_EQ(pairValue('x', '7'), 0);
    EXPECT_EQ(firstDigit(143), 1);
    EXPECT_EQ(firstDigit(57), 5);
}

TEST(KeyValidation, RefusesKeysThatCannotMakeAKeyspace)
{
    for (const char* bad : {"", "00", "0", "0012345", "abc", "12a45", "-5", "+5", "12 34", "1.5"}) {
        const Status s = Engine::validateKey(bad);
        EXPECT_EQ(s.kind, ErrorKind::InvalidKey) << '"' << bad << '"';
        EXPECT_FALSE(s.message.empty());
    }
    for (const char* good : {"1", "9", "123456789", "10", "01", "1000000", "5050505", "90000"})
        EXPECT_TRUE(Engine::validateKey(good).ok()) << good;
}

TEST(PeriodTable, EveryEntryLiesBetween10And50ForEverySeed)
{
    for (int x = 10; x <= 999; ++x) {
        std::string seed = "00" + std::to_string(x);
        seed = seed.substr(seed.size() - 3);
        const auto t = buildPeriodTable(seed);
        int lit[201];
        literal::periodTableFor(seed, lit);
        EXPECT_EQ(t[0], 0);
        for (std::size_t k = 1; k <= kPeriodCount; ++k) {
            ASSERT_GE(t[k], 10) << seed << " entry " << k;
            ASSERT_LE(t[k], 50) << seed << " entry " << k;
            ASSERT_EQ(t[k], lit[k]) << seed << " entry " << k;
        }
    }
}

TEST(PeriodTable, FirstEntriesComeFromTheSeedDigits)
{
    // Hand-computed for seed 042: digits 10 (a 0), 4, 2, then sums.
    const auto t = buildPeriodTable("042");
    EXPECT_EQ(t[1], 10);
    EXPECT_EQ(t[2], 14);  // 4 lifted by 10
    EXPECT_EQ(t[3], 12);
    EXPECT_EQ(t[4], 16);  // 10 + 4 + 2
    EXPECT_EQ(t[5], 16);  // 10 + 4 + 2
    EXPECT_EQ(t[11], 12); // T1 + 2
}

TEST(Keyspace, MatchesTheLiteralImplementationForManyKeys)
{
    for (const std::string& key : sampleKeys()) {
        literal::Keyspace lit;
        const bool litOk = literal::createKeyspace(key, lit);
        const auto kn = expandKey(key);
        EXPECT_EQ(litOk, keyNumbersUsable(kn)) << key;
        EXPECT_EQ(litOk, Engine::validateKey(key).ok()) << key;
        for (std::size_t i = 1; i <= kKeyNumberCount; ++i)
            ASSERT_EQ(kn[i], lit.keyNumbers[i]) << key << " key number " << i;
        if (!litOk)
            continue;
        if (key.find('0') == std::string::npos) {  // digit keys give key numbers from 11 to 151
            const auto [lo, hi] = std::minmax_element(kn.begin() + 1, kn.end());
            EXPECT_GE(*lo, 11) << key;
            EXPECT_LE(*hi, 151) << key;
        }
        const Keyspace ks = deriveKeyspace(key);
        for (std::size_t r = 0; r < kRotorCount; ++r) {
            ASSERT_EQ(std::string(ks.rotors[r].begin(), ks.rotors[r].end()), lit.rotors[r + 1]) << key << " rotor " << r + 1;
            Rotor sorted = ks.rotors[r];  // every rotor is a permutation
            std::sort(sorted.begin(), sorted.end());
            for (int v = 0; v < 256; ++v)
                ASSERT_EQ(sorted[static_cast<std::size_t>(v)], v) << key;
        }
        EXPECT_EQ(ks.seed, lit.seed) << key;
        for (std::size_t k = 1; k <= kPeriodCount; ++k)
            ASSERT_EQ(ks.periodTable[k], lit.periodTable[k]) << key;
    }
}

}  // namespace
}  // namespace zephra::crypto
