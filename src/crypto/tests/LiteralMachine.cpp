#include "LiteralMachine.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <sstream>

namespace zephra::crypto::literal {

namespace {

// Two characters read as a decimal number, leading digits only.
int pairValue(const std::string& two)
{
    int value = 0;
    for (char c : two) {
        if (c < '0' || c > '9')
            break;
        value = value * 10 + (c - '0');
    }
    return value;
}

int firstDigit(int x) { return std::to_string(x)[0] - '0'; }

// A number the way a text file holds it: blank, digits, blank.
std::string printed(int n) { return " " + std::to_string(n) + " "; }

struct Expander {
    std::vector<int> kn = std::vector<int>(12321, 0);
    int count = 0;
    void append(int v) { kn[static_cast<std::size_t>(++count)] = v; }
};

std::string recordOf(const std::string& s, int r, int len) { return s.substr(static_cast<std::size_t>((r - 1) * len), static_cast<std::size_t>(len)); }

}  // namespace

void periodTableFor(const std::string& seed, int t[201])
{
    for (int i = 0; i <= 200; ++i)
        t[i] = 0;
    for (int i = 1; i <= 3; ++i) {
        t[i] = seed[static_cast<std::size_t>(i - 1)] - '0';
        if (t[i] == 0)
            t[i] = 10;
    }
    t[4] = t[1] + t[2] + t[3];
    t[5] = t[1] + t[2] + 2;
    t[6] = t[2] + t[3] + 3;
    t[7] = t[1] + t[3] + 4;
    t[8] = t[1] + 5;
    t[9] = t[2] + 5;
    t[10] = t[3] + 5;
    int next = 11;
    for (int k = 1; k <= 9; k += 2) t[next++] = t[k] + 2;
    for (int k = 2; k <= 10; k += 2) t[next++] = t[k] + 3;
    for (int k = 20; k >= 1; k -= 3) t[next++] = t[k] + 7;
    for (int k = 1; k <= 27; k += 3) t[next++] = t[k] + 9;
    for (int k = 1; k <= 36; k += 5) t[next++] = t[k] + 13;
    for (int k = 44; k >= 1; k -= 5) t[next++] = t[k] + 17;
    for (int k = 1; k <= 53; k += 7) t[next++] = t[k] + 4;
    for (int k = 61; k >= 1; k -= 7) t[next++] = t[k] + 6;
    for (int k = 2; k <= 70; k += 8) t[next++] = t[k] + 1;
    for (int k = 79; k >= 2; k -= 8) t[next++] = t[k] + 2;
    for (int k = 5; k <= 89; k += 5) t[next++] = t[k] + 3;
    for (int k = 106; k >= 5; k -= 5) t[next++] = t[k] + 2;
    for (int k = 127; next <= 200; --k) t[next++] = t[k] + 1;
    for (int k = 1; k <= 200; ++k) {
        if (t[k] < 10) t[k] += 10;
        if (t[k] > 50) t[k] -= 20;
    }
}

bool createKeyspace(const std::string& keyText, Keyspace& ks)
{
    // ExpandKey
    std::string key = keyText;
    while (key.size() < 18)
        key = key + key;
    key = key.substr(0, 18);
    std::string doubled = key;
    for (int i = 18; i >= 1; --i)
        doubled += key[static_cast<std::size_t>(i - 1)];

    Expander e;
    for (int pass = 1; pass <= 2; ++pass) {
        for (int i = 1; i <= 35; i += 2)
            e.append(pairValue(doubled.substr(static_cast<std::size_t>(i - 1), 2)));
        ks.growth.push_back(e.count);
        int n = e.count;
        for (int i = 1; i <= n; ++i) e.append(e.kn[i] + 2);
        ks.growth.push_back(e.count);
        n = e.count;
        for (int i = 1; i <= n; ++i) e.append(e.kn[i] + 3);
        ks.growth.push_back(e.count);
        n = e.count;
        for (int i = 2; i <= n; i += 2) e.append(e.kn[i] + 4);
        ks.growth.push_back(e.count);
        n = e.count;
        for (int i = 3; i <= n; i += 3) e.append(e.kn[i] + 5);
        ks.growth.push_back(e.count);
        n = e.count;
        for (int i = 4; i <= n; i += 4) e.append(e.kn[i] + 1);
        ks.growth.push_back(e.count);
        n = e.count;
        for (int i = n; i >= 1; i -= 6) e.append(e.kn[i] + 7);
        ks.growth.push_back(e.count);
        n = e.count;
        for (int i = n; i >= 1; --i) e.append(e.kn[i] + 1);
        ks.growth.push_back(e.count);
        n = e.count;
        for (int i = 1; i <= n; i += 10) e.append(e.kn[i] + 2);
        ks.growth.push_back(e.count);
    }
    for (int i = 2; i <= 12320; ++i) {
        if (e.kn[i] == e.kn[i - 1]) e.kn[i] += 2;
        if (e.kn[i] == 0) e.kn[i] = 1;
        if (e.kn[i] > 151) e.kn[i] -= 151;
    }
    ks.keyNumbers = e.kn;
    for (int i = 1; i <= 12320; ++i) {
        if (e.kn[i] < 1 || e.kn[i] > 256)
            return false;
    }
    const std::vector<int>& kn = ks.keyNumbers;

    // GenerateRotors
    std::string work(256, '\0');
    for (int p = 1; p <= 256; ++p)
        work[static_cast<std::size_t>(p - 1)] = static_cast<char>(p - 1);
    int cursor = 0, exchanges = 0;
    std::string k1;
    for (int r = 1; r <= 20; ++r) {
        for (int rep = 1; rep <= 750; ++rep) {
            if (++cursor > 12320) cursor = 1;
            const int a = kn[static_cast<std::size_t>(cursor)];
            if (++cursor > 12320) cursor = 1;
            const int b = kn[static_cast<std::size_t>(cursor)];
            std::swap(work[static_cast<std::size_t>(a - 1)], work[static_cast<std::size_t>(b - 1)]);
            if (++exchanges == 2) {
                exchanges = 0;
                work = work.substr(1) + work.substr(0, 1);
            }
        }
        ks.rotors[r] = work;
        k1 += work;
    }
    ks.files["k1.bin"] = k1;

    // DeriveKeyspaceParameters
    auto s = [](int x) { int v = firstDigit(x) + 1; return v > 7 ? v - 5 : v; };
    auto t = [](int x) { int v = firstDigit(x) + 20; return v > 22 ? v - 15 : v; };
    ks.files["k2.bin"] = printed(20) + printed(2) + "\r\n";
    std::string k3(100, '\0');
    for (int i = 1; i <= 20; ++i) {
        k3[static_cast<std::size_t>(i - 1)] = kn[static_cast<std::size_t>(19 + i)] > 45 ? 'U' : 'D';
        const float number = static_cast<float>(s(kn[static_cast<std::size_t>(39 + i)]));
        std::memcpy(&k3[static_cast<std::size_t>(20 + 4 * (i - 1))], &number, 4);  // little-endian machine
    }
    ks.files["k3.bin"] = k3;
    std::string k4, k5, k6;
    for (int i = 1; i <= 20; ++i) k4 += printed(s(kn[static_cast<std::size_t>(59 + i)])) + "\r\n";
    for (int i = 1; i <= 10; ++i) k5 += printed(t(kn[static_cast<std::size_t>(79 + i)])) + "\r\n";
    for (int i = 1; i <= 10; ++i) k6 += printed(t(kn[static_cast<std::size_t>(89 + i)])) + "\r\n";
    ks.files["k4.bin"] = k4;
    ks.files["k5.bin"] = k5;
    ks.files["k6.dat"] = k6;
    int x = kn[20] * kn[21];
    while (x > 999) x -= 999;
    if (x < 10) x += 10;
    const std::string seedText = "00" + std::to_string(x);
    ks.seed = seedText.substr(seedText.size() - 3);
    periodTableFor(ks.seed, ks.periodTable);

    ks.files["k1.brs"] = k1;
    ks.files["k1.bcr"] = k1;
    return true;
}

namespace {

std::string run(const Keyspace& ks, const std::string& input, bool decrypt)
{
    // InitEngine: directions from k3.bin, steps from k4.bin.
    int direction[21], step[21];
    const std::string& k3 = ks.files.at("k3.bin");
    for (int i = 1; i <= 20; ++i)
        direction[i] = k3[static_cast<std::size_t>(i - 1)] == 'D' ? 0 : 1;
    std::istringstream k4(ks.files.at("k4.bin"));
    for (int i = 1; i <= 20; ++i) {
        double v;
        k4 >> v;
        step[i] = static_cast<int>(std::nearbyint(v));
        if (step[i] < 1) step[i] = 1;
    }
    int periodIndex = 1, period = ks.periodTable[1], periodCounter = 0;
    std::istringstream k2(ks.files.at("k2.bin"));
    int rotorCount = 0, rounds = 0;
    k2 >> rotorCount >> rounds;
    std::string rotor[21];
    for (int i = 1; i <= 20; ++i)
        rotor[i] = recordOf(ks.files.at("k1.bcr"), i, 256);
    std::string alphabet(256, '\0');
    for (int p = 1; p <= 256; ++p)
        alphabet[static_cast<std::size_t>(p - 1)] = static_cast<char>(p - 1);

    std::string output;
    for (char c : input) {
        unsigned char current = static_cast<unsigned char>(c);
        int roundCounter = 0;
        do {
            if (!decrypt) {
                for (int i = 1; i <= 20; ++i) {
                    const std::size_t p = alphabet.find(static_cast<char>(current)) + 1;
                    current = static_cast<unsigned char>(rotor[i][p - 1]);
                }
            } else {
                for (int i = 20; i >= 1; --i) {
                    const std::size_t p = rotor[i].find(static_cast<char>(current)) + 1;
                    current = static_cast<unsigned char>(alphabet[p - 1]);
                }
            }
            ++roundCounter;
        } while (roundCounter != rounds);
        output += static_cast<char>(current);

        // StepRotors: toward the front, bytes n+1..256 then 1..n; toward the back,
        // bytes 257-n..256 then 1..256-n. The bytes really move.
        for (int i = 1; i <= 20; ++i) {
            const auto n = static_cast<std::ptrdiff_t>(step[i]);
            std::string& r = rotor[i];
            if (direction[i] == 1)
                std::rotate(r.begin(), r.begin() + n, r.end());
            else
                std::rotate(r.begin(), r.end() - n, r.end());
        }
        // ShiftRotorSlots: the rotor of slot 2 goes to slot 1, ..., slot 1 to slot 20.
        ++periodCounter;
        if (periodCounter >= period) {
            periodCounter = 0;
            for (int i = 1; i <= 19; ++i)
                std::swap(rotor[i], rotor[i + 1]);
            ++periodIndex;
            if (periodIndex > 200) periodIndex = 1;
            period = ks.periodTable[periodIndex];
        }
    }
    (void)rotorCount;
    return output;
}

}  // namespace

std::string encrypt(const Keyspace& ks, const std::string& plain) { return run(ks, plain, false); }
std::string decrypt(const Keyspace& ks, const std::string& cipher) { return run(ks, cipher, true); }

}  // namespace zephra::crypto::literal
