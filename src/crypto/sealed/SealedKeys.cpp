#include "crypto/sealed/SealedKeys.h"

#include "crypto/sealed/SealedMessages.h"

#include <openssl/core_names.h>
#include <openssl/crypto.h>
#include <openssl/kdf.h>
#include <openssl/params.h>
#include <sodium.h>

#include <algorithm>
#include <string>

namespace zephra::crypto::sealed {

namespace {

// The Argon2id salt: fixed, because the master key must follow from the key text alone.
constexpr char kMasterSalt[] = "ZephraFTP sealed";
static_assert(sizeof kMasterSalt - 1 == crypto_pwhash_SALTBYTES);

// HKDF-SHA256 info: one expansion gives the AES key (32 bytes) and the key check (16 bytes).
constexpr char kFileKeyInfo[] = "ZephraFTP sealed file v1";
constexpr std::size_t kDerivedSize = kKeySize + kKeyCheckSize;

bool sodiumReady() { return sodium_init() >= 0; }

Status libraryFailure() { return Status::failure(ErrorKind::Io, message::cipherLibrary()); }

bool hkdfSha256(const std::uint8_t* ikm, const Salt& salt, std::uint8_t* out, std::size_t outSize)
{
    EVP_KDF* kdf = EVP_KDF_fetch(nullptr, "HKDF", nullptr);
    EVP_KDF_CTX* ctx = kdf ? EVP_KDF_CTX_new(kdf) : nullptr;
    EVP_KDF_free(kdf);
    if (!ctx)
        return false;
    char digest[] = "SHA256";
    OSSL_PARAM params[] = {
        OSSL_PARAM_construct_utf8_string(OSSL_KDF_PARAM_DIGEST, digest, 0),
        OSSL_PARAM_construct_octet_string(OSSL_KDF_PARAM_KEY, const_cast<std::uint8_t*>(ikm), kKeySize),
        OSSL_PARAM_construct_octet_string(OSSL_KDF_PARAM_SALT, const_cast<std::uint8_t*>(salt.data()), salt.size()),
        OSSL_PARAM_construct_octet_string(OSSL_KDF_PARAM_INFO, const_cast<char*>(kFileKeyInfo), sizeof kFileKeyInfo - 1),
        OSSL_PARAM_construct_end(),
    };
    const bool ok = EVP_KDF_derive(ctx, out, outSize, params) == 1;
    EVP_KDF_CTX_free(ctx);  // cleanses its copy of the key
    return ok;
}

// Derives the file key and the key check of salt into key and check.
bool deriveFileKey(const MasterKey& master, const Salt& salt, SecretBytes& key, KeyCheck& check)
{
    SecretBytes derived(kDerivedSize);
    if (!derived.ok() || !key.ok() || !hkdfSha256(master.bytes(), salt, derived.data(), derived.size()))
        return false;
    std::copy_n(derived.data(), kKeySize, key.data());
    std::copy_n(derived.data() + kKeySize, kKeyCheckSize, check.begin());
    return true;
}

}  // namespace

SecretBytes::SecretBytes(std::size_t size)
{
    if (sodiumReady())
        m_data = static_cast<std::uint8_t*>(sodium_malloc(size));
    if (m_data)
        m_size = size;
}

SecretBytes::~SecretBytes()
{
    if (m_data)
        sodium_free(m_data);  // zeroes the bytes before releasing them
}

Status MasterKey::derive(std::string_view keyText, const KdfParams& params, std::unique_ptr<MasterKey>& out)
{
    if (Status s = checkKdfParams(params); !s.ok())
        return s;
    std::unique_ptr<MasterKey> key(new MasterKey(params));
    if (!key->m_key.ok())
        return libraryFailure();
    const std::size_t memory = std::size_t{params.memoryKiB} * 1024;
    if (crypto_pwhash(key->m_key.data(), kKeySize, keyText.data(), keyText.size(),
                      reinterpret_cast<const unsigned char*>(kMasterSalt), params.iterations, memory,
                      crypto_pwhash_ALG_ARGON2ID13) != 0)
        return Status::failure(ErrorKind::Io, "not enough memory to derive the key (" +
                                                  std::to_string(params.memoryKiB / 1024) + " MiB)");
    out = std::move(key);
    return Status::success();
}

Status FileKey::create(const MasterKey& master, std::unique_ptr<FileKey>& out)
{
    if (!sodiumReady())
        return libraryFailure();
    Salt salt{};
    randombytes_buf(salt.data(), salt.size());
    return createWithSalt(master, salt, out);
}

Status FileKey::createWithSalt(const MasterKey& master, const Salt& salt, std::unique_ptr<FileKey>& out)
{
    std::unique_ptr<FileKey> key(new FileKey());
    key->m_header.kdf = master.params();
    key->m_header.salt = salt;
    if (!deriveFileKey(master, salt, key->m_key, key->m_header.keyCheck))
        return libraryFailure();
    key->m_headerBytes = key->m_header.write();
    out = std::move(key);
    return Status::success();
}

Status FileKey::forHeader(const MasterKey& master, const Header& header, std::unique_ptr<FileKey>& out)
{
    if (!(master.params() == header.kdf))
        return Status::failure(ErrorKind::KeyParameters, message::keyParameters());
    std::unique_ptr<FileKey> key(new FileKey());
    KeyCheck check{};
    if (!deriveFileKey(master, header.salt, key->m_key, check))
        return libraryFailure();
    if (CRYPTO_memcmp(check.data(), header.keyCheck.data(), check.size()) != 0)
        return Status::failure(ErrorKind::WrongKey, message::wrongKey());
    key->m_header = header;
    key->m_headerBytes = header.write();
    out = std::move(key);
    return Status::success();
}

}  // namespace zephra::crypto::sealed
