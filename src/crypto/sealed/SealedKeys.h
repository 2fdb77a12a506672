#pragma once
// The keys of the sealed format:
//   key text --Argon2id (slow, once per key)--> master key
//   master key + the file's salt --HKDF-SHA256--> file key (AES-256) and key check value
// Key bytes live in memory libsodium allocates (locked against swapping where the system
// allows, guard pages around it) and are wiped when their object goes. Nothing of them is
// written anywhere. Both classes are immutable once made and may be shared between threads.

#include "crypto/Engine.h"
#include "crypto/sealed/SealedFormat.h"

#include <cstdint>
#include <memory>
#include <string_view>

namespace zephra::crypto::sealed {

// A few secret bytes in guarded memory, wiped when freed.
class SecretBytes final {
public:
    explicit SecretBytes(std::size_t size);
    ~SecretBytes();
    SecretBytes(const SecretBytes&) = delete;
    SecretBytes& operator=(const SecretBytes&) = delete;
    bool ok() const { return m_data != nullptr; }
    std::uint8_t* data() { return m_data; }
    const std::uint8_t* data() const { return m_data; }
    std::size_t size() const { return m_size; }

private:
    std::uint8_t* m_data = nullptr;
    std::size_t m_size = 0;
};

class MasterKey final {
public:
    // Argon2id over the key text (its characters as bytes), with a fixed salt: the master key
    // must follow from the key text alone, since that is all two partners share. Takes about
    // 128 MiB and about 0.2 s of a core with kDefaultKdf; call it once per key, off the UI thread.
    static Status derive(std::string_view keyText, const KdfParams& params, std::unique_ptr<MasterKey>& out);

    const KdfParams& params() const { return m_params; }
    const std::uint8_t* bytes() const { return m_key.data(); }  // kKeySize bytes

private:
    explicit MasterKey(const KdfParams& params) : m_params(params), m_key(kKeySize) {}
    KdfParams m_params;
    SecretBytes m_key;
};

class FileKey final {
public:
    // A new file: a fresh random salt and the master key's parameters.
    static Status create(const MasterKey& master, std::unique_ptr<FileKey>& out);
    // A new file with a salt given by the caller: for test vectors only. A salt used twice
    // with different plaintexts would reuse nonces.
    static Status createWithSalt(const MasterKey& master, const Salt& salt, std::unique_ptr<FileKey>& out);
    // The key of an existing file. WrongKey when the header's key check does not match;
    // KeyParameters when the master key was derived with other parameters than the header
    // names (derive one with header.kdf and try again).
    static Status forHeader(const MasterKey& master, const Header& header, std::unique_ptr<FileKey>& out);

    const Header& header() const { return m_header; }
    // The header as written, which every chunk authenticates as associated data.
    const HeaderBytes& headerBytes() const { return m_headerBytes; }
    const std::uint8_t* aeadKey() const { return m_key.data(); }  // kKeySize bytes

private:
    FileKey() : m_key(kKeySize) {}
    Header m_header;
    HeaderBytes m_headerBytes{};
    SecretBytes m_key;
};

}  // namespace zephra::crypto::sealed
