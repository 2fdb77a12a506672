#include "crypto/sealed/ChunkCipher.h"

#include "crypto/sealed/SealedMessages.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>

#include <array>
#include <cassert>

namespace zephra::crypto::sealed {

namespace {

using Nonce = std::array<std::uint8_t, 12>;

Nonce nonceOf(std::uint64_t index, bool last)
{
    Nonce n{};
    for (int i = 0; i < 8; ++i)
        n[static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(index >> (56 - 8 * i));
    n[11] = last ? 1 : 0;
    return n;
}

// A context keyed once for the file; each chunk then only sets its nonce.
EVP_CIPHER_CTX* makeContext(const FileKey& key, bool encrypt)
{
    EVP_CIPHER* cipher = EVP_CIPHER_fetch(nullptr, "AES-256-GCM", nullptr);
    EVP_CIPHER_CTX* ctx = cipher ? EVP_CIPHER_CTX_new() : nullptr;
    const bool ok = ctx && EVP_CipherInit_ex2(ctx, cipher, key.aeadKey(), nullptr, encrypt ? 1 : 0, nullptr) == 1;
    EVP_CIPHER_free(cipher);  // the context keeps its own reference
    if (!ok) {
        EVP_CIPHER_CTX_free(ctx);
        return nullptr;
    }
    return ctx;
}

}  // namespace

ChunkSealer::ChunkSealer(const FileKey& key) : m_key(key), m_ctx(makeContext(key, true)) {}

ChunkSealer::~ChunkSealer() { EVP_CIPHER_CTX_free(m_ctx); }  // cleanses the key schedule

bool ChunkSealer::seal(std::uint64_t index, bool last, const std::uint8_t* in, std::size_t n, std::uint8_t* out)
{
    assert(n <= kChunkSize && (last || n == kChunkSize));
    if (!m_ctx)
        return false;
    const Nonce nonce = nonceOf(index, last);
    const HeaderBytes& header = m_key.headerBytes();
    int len = 0;
    int tail = 0;
    return EVP_EncryptInit_ex2(m_ctx, nullptr, nullptr, nonce.data(), nullptr) == 1 &&
           EVP_EncryptUpdate(m_ctx, nullptr, &len, header.data(), static_cast<int>(header.size())) == 1 &&
           EVP_EncryptUpdate(m_ctx, out, &len, in, static_cast<int>(n)) == 1 &&
           EVP_EncryptFinal_ex(m_ctx, out + len, &tail) == 1 &&
           EVP_CIPHER_CTX_ctrl(m_ctx, EVP_CTRL_AEAD_GET_TAG, static_cast<int>(kTagSize), out + n) == 1;
}

ChunkOpener::ChunkOpener(const FileKey& key) : m_key(key), m_ctx(makeContext(key, false)) {}

ChunkOpener::~ChunkOpener() { EVP_CIPHER_CTX_free(m_ctx); }

bool ChunkOpener::open(std::uint64_t index, bool last, const std::uint8_t* in, std::size_t n, std::uint8_t* out)
{
    assert(n >= kTagSize && n <= kSealedChunkSize);
    if (!m_ctx)
        return false;
    const std::size_t plain = n - kTagSize;
    const Nonce nonce = nonceOf(index, last);
    const HeaderBytes& header = m_key.headerBytes();
    std::array<std::uint8_t, kTagSize> tag{};
    std::copy_n(in + plain, kTagSize, tag.begin());  // before out (maybe in) is overwritten
    int len = 0;
    int tail = 0;
    const bool ok = EVP_DecryptInit_ex2(m_ctx, nullptr, nullptr, nonce.data(), nullptr) == 1 &&
                    EVP_CIPHER_CTX_ctrl(m_ctx, EVP_CTRL_AEAD_SET_TAG, static_cast<int>(kTagSize), tag.data()) == 1 &&
                    EVP_DecryptUpdate(m_ctx, nullptr, &len, header.data(), static_cast<int>(header.size())) == 1 &&
                    EVP_DecryptUpdate(m_ctx, out, &len, in, static_cast<int>(plain)) == 1 &&
                    EVP_DecryptFinal_ex(m_ctx, out + len, &tail) == 1;
    if (!ok)
        OPENSSL_cleanse(out, plain);
    return ok;
}

Status chunkFailure(std::uint64_t index)
{
    return Status::failure(ErrorKind::Damaged, message::chunkFails(sealedOffsetOfChunk(index)));
}

}  // namespace zephra::crypto::sealed
