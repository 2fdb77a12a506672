// The test vectors of docs/FORMAT.md (t=3, m=64 MiB, p=1): what another program
// reading or writing the sealed format must reproduce byte for byte. (The values were also
// reproduced with a separate implementation of Argon2id, HKDF and AES-GCM when they were made.)
#include "SealedTestSupport.h"

#include <openssl/evp.h>

namespace zephra::crypto::sealed {
namespace {

using test::Bytes;

std::string hexOf(const std::uint8_t* p, std::size_t n)
{
    static const char digits[] = "0123456789abcdef";
    std::string s;
    for (std::size_t i = 0; i < n; ++i) {
        s += digits[p[i] >> 4];
        s += digits[p[i] & 15];
    }
    return s;
}

std::string hexOf(const Bytes& b) { return hexOf(b.data(), b.size()); }

std::string sha256Hex(const Bytes& b)
{
    std::uint8_t md[EVP_MAX_MD_SIZE];
    unsigned int len = 0;
    EVP_Digest(b.data(), b.size(), md, &len, EVP_sha256(), nullptr);
    return hexOf(md, len);
}

Salt vectorSalt()
{
    Salt salt{};
    for (std::size_t i = 0; i < salt.size(); ++i)
        salt[i] = static_cast<std::uint8_t>(i);
    return salt;
}

class SealedVector : public ::testing::Test {
protected:
    static void SetUpTestSuite() { ASSERT_TRUE(MasterKey::derive("123456789", {3, 65536, 1}, s_master).ok()); }
    static void TearDownTestSuite() { s_master.reset(); }
    static std::unique_ptr<MasterKey> s_master;
};
std::unique_ptr<MasterKey> SealedVector::s_master;

TEST_F(SealedVector, KeysFromTheKeyText)
{
    EXPECT_EQ(hexOf(s_master->bytes(), kKeySize), "d03f80b113082090977003a60bd1500e425cfd7b3cfbeee29f5e11ec7e2a1a0a");
    std::unique_ptr<FileKey> key;
    ASSERT_TRUE(FileKey::createWithSalt(*s_master, vectorSalt(), key).ok());
    EXPECT_EQ(hexOf(key->aeadKey(), kKeySize), "0e2d4683a14cebbd94368dd69ba61034dc1bb12371f058a9c0aeafd40890a73d");
    EXPECT_EQ(hexOf(key->header().keyCheck.data(), kKeyCheckSize), "d66d55af9aad6ab694a725e2ef653830");
}

TEST_F(SealedVector, OneChunk)
{
    const Bytes plain = test::bytesOf("Sealed with ZephraFTP.\n");
    std::unique_ptr<FileKey> key;
    ASSERT_TRUE(FileKey::createWithSalt(*s_master, vectorSalt(), key).ok());
    const Bytes file = test::seal(*key, plain);
    EXPECT_EQ(hexOf(file), 
              "895a53460d0a1a0a" "01010110" "00000003" "00010000" "00000001"
              "000102030405060708090a0b0c0d0e0f101112131415161718191a1b1c1d1e1f"
              "d66d55af9aad6ab694a725e2ef653830"
              "cc41db1c8ee161589a9a3d98e9231cb5"
              "c9ab54ca6fd7935c2bf563175e57cb60779bd26c92f9aa"
              "bc161810e209cdffedfe430f5276cc2c");
    const test::Opened opened = test::open(file, *s_master);
    ASSERT_TRUE(opened.status.ok());
    EXPECT_TRUE(opened.plain == plain);
}

TEST_F(SealedVector, TwoChunks)
{
    Bytes plain(kChunkSize + 100);
    for (std::size_t i = 0; i < plain.size(); ++i)
        plain[i] = static_cast<std::uint8_t>(i % 251);
    std::unique_ptr<FileKey> key;
    ASSERT_TRUE(FileKey::createWithSalt(*s_master, vectorSalt(), key).ok());
    const Bytes file = test::seal(*key, plain);
    ASSERT_EQ(file.size(), 65756u);
    EXPECT_EQ(hexOf(&file[kHeaderSize + kChunkSize], kTagSize), "a5f6925a27f8d2893f29c24b6bc128ef");
    EXPECT_EQ(hexOf(&file[file.size() - 116], 100), 
              "dc826a63619e1e90de876142b85cd64ee420afb745462ff7d8578c40b140f04374ee2e7f7dbf1cb8d4463fe99e3d61ec"
              "e2c46fc6fe167736858374cb29c03f3178c5a7ce922b4ab0142d3a817765af818927f0b06f8ee27ebc4fcea5fefa06aeef4c08c8");
    EXPECT_EQ(hexOf(&file[file.size() - kTagSize], kTagSize), "09ed54c578a40692597230a2554bfb4a");
    EXPECT_EQ(sha256Hex(file), "fc194fb1bf4085ae6c1132424df0af20da48e93ca4a8ab56af8967ff6d51c70c");
    const test::Opened opened = test::open(file, *s_master);
    ASSERT_TRUE(opened.status.ok());
    EXPECT_TRUE(opened.plain == plain);
}

}  // namespace
}  // namespace zephra::crypto::sealed
