#pragma once
// A deliberately literal second implementation of the rotor machine, for cross-checking the
// engine: positions counted from 1, the key doubled as text, rotors as 256-byte strings that
// are physically turned after every byte and physically moved between slots, a period counter
// exactly as the machine keeps it, and working files written the way earlier versions wrote
// them. Slow on purpose; it shares no code with the engine.

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace zephra::crypto::literal {

struct Keyspace {
    std::vector<int> keyNumbers;   // 1..12320 used
    std::vector<int> growth;       // count after each step of the expansion
    std::string rotors[21];        // 1..20
    int periodTable[201] = {};     // 1..200
    std::string seed;
    std::map<std::string, std::string> files;  // working file name -> bytes
};

// Builds the keyspace of a key of digits. Returns false when a key number leaves 1..256.
bool createKeyspace(const std::string& key, Keyspace& out);

void periodTableFor(const std::string& seed, int table[201]);

// The whole file through EncryptByte / DecryptByte, reading its slot parameters back from
// the working files as the file operation frame does.
std::string encrypt(const Keyspace& ks, const std::string& plain);
std::string decrypt(const Keyspace& ks, const std::string& cipher);

}  // namespace zephra::crypto::literal
