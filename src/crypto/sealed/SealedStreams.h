#pragma once
// Sealing and opening a sealed file as a stream of bytes in pieces of any size, for transfers
// that encrypt while sending and decrypt while receiving.
//
//   std::unique_ptr<FileKey> key;  FileKey::create(master, key);
//   Sealer sealer(*key);                  // the header comes first
//   sealer.write(piece, n, out) ... sealer.finish(out);   // out: the file's bytes, in order
//
//   Opener opener(master);                // reads the header, checks the key
//   opener.write(piece, n, out) ... opener.finish(out);   // out: authenticated plaintext only
//
// A download learns the format from its first kHeaderSize bytes (isSealed); without the header
// it is the compatible format. A sealed header whose kdf differs from master.params() needs a
// master key derived with header.kdf (Opener says KeyParameters otherwise). An upload's size is
// sealedSize(plain size), known before the first byte is sent.
//
// To resume, both start at a ChunkPosition under the key of the header already sent or read:
//   upload:   Header::read(the server's first bytes) -> FileKey::forHeader(master, header, key);
//             from = resumeFromSealed(server size, plain size); REST from.sealedOffset;
//             Sealer(*key, from) fed the plaintext from from.plainOffset. The plaintext must be
//             the one sealed before (same size and time); a changed file starts a new upload.
//   download: from = resumeFromPlain(verified local bytes); cut the local file to
//             from.plainOffset; fetch from from.sealedOffset into Opener(*key, from).

#include "crypto/sealed/ChunkCipher.h"
#include "crypto/sealed/SealedFormat.h"
#include "crypto/sealed/SealedKeys.h"

#include <cstdint>
#include <memory>
#include <vector>

namespace zephra::crypto::sealed {

class Sealer final {
public:
    // from: kStartOfFile (the header first), or a chunk boundary to resume at, with the
    // plaintext from from.plainOffset on.
    explicit Sealer(const FileKey& key, ChunkPosition from = kStartOfFile);

    // Appends to out the header (when due) and every chunk that is complete. False only when
    // the cipher library fails.
    [[nodiscard]] bool write(const std::uint8_t* data, std::size_t n, std::vector<std::uint8_t>& out);
    // Seals what is left as the last chunk (it may be empty) and appends it.
    [[nodiscard]] bool finish(std::vector<std::uint8_t>& out);

private:
    bool sealTo(std::vector<std::uint8_t>& out, const std::uint8_t* data, std::size_t n, bool last);

    const FileKey& m_key;
    ChunkSealer m_sealer;
    std::uint64_t m_chunk = 0;
    bool m_headerDue = false;
    std::vector<std::uint8_t> m_pending;
};

class Opener final {
public:
    // From the start of a file. NotSealed, Damaged, Truncated, Unsupported for the header;
    // WrongKey or KeyParameters when master does not fit it.
    explicit Opener(const MasterKey& master);
    // From a position of the file whose key is known (resume). At kStartOfFile the stream must
    // carry that file's header again.
    Opener(const FileKey& key, ChunkPosition from);
    ~Opener();

    // Appends to out the plaintext of every chunk that is complete and authentic. The first
    // failure is returned by this and every later call; out then holds nothing of the bad chunk.
    Status write(const std::uint8_t* data, std::size_t n, std::vector<std::uint8_t>& out);
    // The end of the stream: opens the last chunk. Truncated when it is missing.
    Status finish(std::vector<std::uint8_t>& out);

    // The file's key, once its header has been read (nullptr before).
    const FileKey* fileKey() const { return m_key; }

private:
    Status takeHeader();
    Status openTo(std::vector<std::uint8_t>& out, const std::uint8_t* data, std::size_t n, bool last);

    const MasterKey* m_master = nullptr;
    std::unique_ptr<FileKey> m_ownKey;
    const FileKey* m_key = nullptr;
    std::unique_ptr<ChunkOpener> m_opener;
    std::uint64_t m_chunk = 0;
    bool m_headerDue = false;
    std::vector<std::uint8_t> m_pending;
    Status m_failure;
};

}  // namespace zephra::crypto::sealed
