// Sealed files as the opener reads them, fed in pieces of many sizes: anything but a file sealed
// under the key is refused with its reason, no plaintext of a bad chunk comes out, and what is
// accepted is exactly what sealing its plaintext again under the file's salt gives.

#include "FuzzTarget.h"

#include "crypto/sealed/SealedFormat.h"
#include "crypto/sealed/SealedKeys.h"
#include "crypto/sealed/SealedStreams.h"

#include <algorithm>
#include <memory>
#include <vector>

using namespace zephra::crypto;
using namespace zephra::crypto::sealed;

namespace {

// The key of the seed files (zephraftp-cli encrypt --format sealed --key 1234567890), derived
// once: Argon2id takes a noticeable fraction of a second. The seeds were sealed when the default
// memory was 64 MiB, so their headers name t=3, m=65536, p=1; a master key with other parameters
// would stop every seed at KeyParameters and leave the accepting path unexplored.
const MasterKey& masterKey()
{
    static const std::unique_ptr<MasterKey> master = [] {
        std::unique_ptr<MasterKey> key;
        FUZZ_CHECK(MasterKey::derive("1234567890", KdfParams{3, 65536, 1}, key).ok());
        return key;
    }();
    return *master;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::span<const std::uint8_t> file(data, size);
    Header header;
    const Status headerStatus = Header::read(file.first(std::min(size, kHeaderSize)), header);
    if (headerStatus.ok())
        FUZZ_CHECK(isSealed(file.first(kHeaderSize)));

    Opener opener(masterKey());
    std::vector<std::uint8_t> plain;
    Status status;
    static constexpr std::size_t kPieces[] = {1, 13, 88, 4096, 65552, 100000, 7};
    std::size_t at = 0;
    for (std::size_t i = 0; at < size && status.ok(); ++i) {
        const std::size_t n = std::min(kPieces[i % std::size(kPieces)], size - at);
        status = opener.write(data + at, n, plain);
        at += n;
    }
    if (status.ok())
        status = opener.finish(plain);

    if (!status.ok()) {
        FUZZ_CHECK(status.kind == ErrorKind::NotSealed || status.kind == ErrorKind::Damaged
                   || status.kind == ErrorKind::Truncated || status.kind == ErrorKind::Unsupported
                   || status.kind == ErrorKind::WrongKey || status.kind == ErrorKind::KeyParameters);
        FUZZ_CHECK(!status.message.empty());
        // Only whole authentic chunks came out before the failure.
        FUZZ_CHECK(plain.size() % kChunkSize == 0);
        return 0;
    }
    FUZZ_CHECK(headerStatus.ok());
    std::uint64_t plainSize = 0;
    FUZZ_CHECK(plainSizeOf(size, plainSize).ok() && plainSize == plain.size());

    std::unique_ptr<FileKey> key;
    FUZZ_CHECK(FileKey::createWithSalt(masterKey(), header.salt, key).ok());
    Sealer sealer(*key);
    std::vector<std::uint8_t> again;
    FUZZ_CHECK(sealer.write(plain.data(), plain.size(), again) && sealer.finish(again));
    FUZZ_CHECK(again.size() == size && std::equal(again.begin(), again.end(), data));
    return 0;
}
