#pragma once
// Shared by the sealed-format tests: master keys with cheap parameters (made once), and whole
// files sealed and opened through the streams.

#include "TestSupport.h"
#include "crypto/sealed/SealedStreams.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <map>
#include <string>
#include <vector>

namespace zephra::crypto::sealed::test {

using Bytes = std::vector<std::uint8_t>;

// Cheap Argon2id parameters: the format under test is the same whatever the cost.
inline constexpr KdfParams kFastKdf{1, 1024, 1};

inline const MasterKey& masterKey(const std::string& keyText = "123456789", KdfParams params = kFastKdf)
{
    static std::map<std::pair<std::string, std::uint64_t>, std::unique_ptr<MasterKey>> keys;
    auto& key = keys[{keyText, std::uint64_t{params.iterations} << 32 | params.memoryKiB}];
    if (!key && !MasterKey::derive(keyText, params, key).ok())
        std::abort();
    return *key;
}

inline Bytes bytesOf(const std::string& s) { return Bytes(s.begin(), s.end()); }
inline std::string stringOf(const Bytes& b) { return std::string(b.begin(), b.end()); }

inline Bytes seal(const FileKey& key, const Bytes& plain)
{
    Bytes out;
    Sealer sealer(key);
    if (!sealer.write(plain.data(), plain.size(), out) || !sealer.finish(out))
        ADD_FAILURE() << "sealing failed";
    return out;
}

inline Bytes seal(const Bytes& plain, const MasterKey& master = masterKey())
{
    std::unique_ptr<FileKey> key;
    if (!FileKey::create(master, key).ok())
        std::abort();
    return seal(*key, plain);
}

struct Opened {
    Status status;
    Bytes plain;
};

inline Opened open(const Bytes& sealed, const MasterKey& master = masterKey())
{
    Opened r;
    Opener opener(master);
    r.status = opener.write(sealed.data(), sealed.size(), r.plain);
    if (r.status.ok())
        r.status = opener.finish(r.plain);
    return r;
}

}  // namespace zephra::crypto::sealed::test
