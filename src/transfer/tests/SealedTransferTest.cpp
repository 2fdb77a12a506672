// The sealed transfer streams without a network: what SealingReader hands out is the sealed
// file and opens again, across the chunk and block edges; OpeningWriter tells the formats apart
// by the first bytes and refuses every sealed file it must not write, leaving the target as it
// was; a resumed SealingReader repeats the bytes sent before, byte for byte.
#include "transfer/SealedTransfer.h"

#include "TestFiles.h"
#include "crypto/sealed/KeyRing.h"
#include "crypto/sealed/SealedKeys.h"
#include "crypto/sealed/SealedStreams.h"

#include <QDir>
#include <QTemporaryDir>
#include <gtest/gtest.h>

using namespace zephra;
using namespace zephra::transfer;
namespace sealed = zephra::crypto::sealed;
using zephra::test::pattern;
using zephra::test::readFile;
using zephra::test::writeFile;

namespace {

constexpr qint64 kChunk = qint64(sealed::kChunkSize);
constexpr auto kKeyText = "123456789";

class SealedStreams : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(sealed::KeyRing::create(kKeyText, keys).ok());
        ASSERT_TRUE(crypto::Engine::makeCipher(kKeyText, rotor).ok());
    }
    QString path(const QString& name) const { return dir.filePath(name); }

    // Everything a SealingReader hands out for plain, read in pieces of piece bytes.
    QByteArray sealOut(const QByteArray& plain, qint64 piece = 300000, const sealed::HeaderBytes* header = nullptr,
                       sealed::ChunkPosition from = {})
    {
        EXPECT_TRUE(writeFile(path("plain"), plain));
        SealingReader reader(keys);
        QString error;
        EXPECT_TRUE(reader.open(path("plain"), &error)) << error.toStdString();
        if (header) {
            EXPECT_TRUE(reader.resumeAt(*header, from, &error)) << error.toStdString();
        }
        QByteArray out;
        QByteArray buffer(int(piece), '\0');
        for (int guard = 0; guard < 100000; ++guard) {
            const qint64 n = reader.read(buffer.data(), piece);
            EXPECT_GE(n, 0) << reader.errorString().toStdString();
            if (n <= 0)
                break;
            out.append(buffer.constData(), n);
        }
        EXPECT_TRUE(reader.atEnd());
        EXPECT_EQ(out.size(), reader.size());
        return out;
    }

    // The target after an OpeningWriter took file in pieces of piece bytes, and why it failed.
    QString openInto(const QByteArray& file, const QString& target, qint64 piece = 100000,
                     std::shared_ptr<sealed::KeyRing> with = {})
    {
        OpeningWriter writer(*rotor, with ? with : keys);
        QString error;
        if (!writer.open(target, &error))
            return error;
        for (qint64 at = 0; at < file.size(); at += piece) {
            if (!writer.write(file.constData() + at, std::min(piece, file.size() - at)))
                break;
        }
        if (!writer.commit(&error))
            return error;
        return {};
    }

    QTemporaryDir dir;
    std::shared_ptr<sealed::KeyRing> keys;
    std::unique_ptr<crypto::Cipher> rotor;
};

}  // namespace

TEST_F(SealedStreams, SealedBytesOpenAgainAtEveryEdge)
{
    for (const qint64 size : {qint64(0), qint64(1), kChunk - 1, kChunk, kChunk + 1, 16 * kChunk, 16 * kChunk + 1,
                              40 * kChunk + 7}) {
        SCOPED_TRACE(size);
        const QByteArray plain = pattern(size, int(size % 97));
        const QByteArray file = sealOut(plain, size % 2 ? 4093 : 1 << 20);
        ASSERT_EQ(quint64(file.size()), sealed::sealedSize(quint64(size)));
        EXPECT_TRUE(sealed::isSealed({reinterpret_cast<const std::uint8_t*>(file.constData()), std::size_t(file.size())}));
        // The core's own stream opener agrees.
        std::shared_ptr<const sealed::MasterKey> master;
        ASSERT_TRUE(keys->master(sealed::kDefaultKdf, master).ok());
        sealed::Opener opener(*master);
        std::vector<std::uint8_t> out;
        ASSERT_TRUE(opener.write(reinterpret_cast<const std::uint8_t*>(file.constData()), std::size_t(file.size()), out).ok());
        ASSERT_TRUE(opener.finish(out).ok());
        EXPECT_TRUE(QByteArray(reinterpret_cast<const char*>(out.data()), qsizetype(out.size())) == plain);
        // And so does the writer, fed in pieces that straddle header and chunks.
        EXPECT_EQ(openInto(file, path("back"), 1000), QString());
        EXPECT_TRUE(readFile(path("back")) == plain);
    }
}

// Files without the header are the compatible format: the rotor cipher's output decrypts as
// it always did, also when shorter than a header.
TEST_F(SealedStreams, CompatibleFilesDecryptAsBefore)
{
    for (const qint64 size : {qint64(0), qint64(5), qint64(87), qint64(88), qint64(89), (qint64(1) << 20) + 3}) {
        SCOPED_TRACE(size);
        const QByteArray plain = pattern(size, 3);
        QByteArray cipher = plain;
        rotor->process(crypto::Direction::Encrypt, 0, reinterpret_cast<const std::uint8_t*>(plain.constData()),
                       reinterpret_cast<std::uint8_t*>(cipher.data()), std::size_t(size));
        EXPECT_EQ(openInto(cipher, path("back"), 50), QString());
        EXPECT_TRUE(readFile(path("back")) == plain);
    }
}

TEST_F(SealedStreams, RefusedFilesLeaveTheTargetAsItWas)
{
    const QByteArray plain = pattern(3 * kChunk + 11, 9);
    const QByteArray file = sealOut(plain);
    std::shared_ptr<sealed::KeyRing> otherKeys;
    ASSERT_TRUE(sealed::KeyRing::create("987654321", otherKeys).ok());
    auto flipped = [&](qsizetype at) {
        QByteArray b = file;
        b[at] = char(b[at] ^ 0x04);
        return b;
    };
    struct Case {
        const char* what;
        QByteArray bytes;
        std::shared_ptr<sealed::KeyRing> keys;
        const char* says;
    };
    const Case cases[] = {
        {"another key", file, otherKeys, "This file was sealed with another key."},
        {"a flipped body byte", flipped(88 + kChunk + 5), keys, "The file is damaged"},
        {"a flipped magic byte", flipped(2), keys, "The file is damaged"},  // still known as sealed
        {"a flipped salt byte", flipped(40), keys, "The file is damaged"},
        {"cut after a chunk", file.left(88 + 2 * (kChunk + 16)), keys, "The file is incomplete"},
        {"cut inside the header", file.left(50), keys, "The file is incomplete"},
        {"cut after the header", file.left(88), keys, "The file is incomplete"},
        {"a byte appended", file + 'x', keys, "The file is damaged"},
        {"no sealed keys", file, nullptr, "no key"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ASSERT_TRUE(writeFile(path("target"), "the local copy"));
        OpeningWriter writer(*rotor, c.keys);
        QString error;
        ASSERT_TRUE(writer.open(path("target"), &error));
        bool wrote = true;
        for (qint64 at = 0; at < c.bytes.size() && wrote; at += 70000)
            wrote = writer.write(c.bytes.constData() + at, std::min<qint64>(70000, c.bytes.size() - at));
        EXPECT_FALSE(writer.commit(&error));
        EXPECT_TRUE(error.contains(QLatin1String(c.says))) << error.toStdString();
        EXPECT_TRUE(writer.isSealed());
        EXPECT_EQ(readFile(path("target")), "the local copy");
        EXPECT_EQ(QDir(dir.path()).entryList({".*zephra*"}, QDir::Files | QDir::Hidden), QStringList());
    }
}

// A file sealed with other Argon2id costs than the default: the writer derives that master key
// on its own thread (the ring keeps it) and opens the file.
TEST_F(SealedStreams, OtherKeyCostsAreDerivedWhenTheFileNamesThem)
{
    const sealed::KdfParams cheap{1, 1024, 1};
    std::shared_ptr<sealed::KeyRing> writerKeys;
    ASSERT_TRUE(sealed::KeyRing::create(kKeyText, writerKeys).ok());
    std::shared_ptr<const sealed::MasterKey> master;
    ASSERT_TRUE(writerKeys->master(cheap, master).ok());
    std::unique_ptr<sealed::FileKey> key;
    ASSERT_TRUE(sealed::FileKey::create(*master, key).ok());
    const QByteArray plain = pattern(kChunk + 3, 1);
    std::vector<std::uint8_t> out;
    sealed::Sealer sealer(*key);
    ASSERT_TRUE(sealer.write(reinterpret_cast<const std::uint8_t*>(plain.constData()), std::size_t(plain.size()), out));
    ASSERT_TRUE(sealer.finish(out));
    EXPECT_FALSE(keys->holds(cheap));
    EXPECT_EQ(openInto(QByteArray(reinterpret_cast<const char*>(out.data()), qsizetype(out.size())), path("back")), QString());
    EXPECT_TRUE(readFile(path("back")) == plain);
    EXPECT_TRUE(keys->holds(cheap));
    // Costs no reader accepts are refused before any work.
    EXPECT_FALSE(keys->master(sealed::KdfParams{64, 1 << 20, 1}, master).ok());
}

// Resuming an upload: sealing again from a chunk boundary under the header sent gives exactly
// the bytes of the first run from there on (same file key, same nonces, same plaintext).
TEST_F(SealedStreams, ResumedSealingRepeatsTheBytesSentBefore)
{
    const QByteArray plain = pattern(20 * kChunk + 123, 4);
    const QByteArray whole = sealOut(plain);
    sealed::HeaderBytes header{};
    std::copy_n(reinterpret_cast<const std::uint8_t*>(whole.constData()), header.size(), header.begin());
    for (const qint64 arrived : {qint64(0), qint64(50), qint64(88), qint64(88 + 65552), qint64(88 + 65552 + 1),
                                 qint64(88 + 17 * 65552 + 40), whole.size() - 1}) {
        SCOPED_TRACE(arrived);
        const sealed::ChunkPosition from = sealed::resumeFromSealed(quint64(arrived), quint64(plain.size()));
        EXPECT_LE(qint64(from.sealedOffset), arrived);
        const QByteArray rest = sealOut(plain, 77777, &header, from);
        EXPECT_TRUE(rest == whole.mid(qsizetype(from.sealedOffset)));
    }
    // Another key's header is refused when the reader starts.
    std::shared_ptr<sealed::KeyRing> otherKeys;
    ASSERT_TRUE(sealed::KeyRing::create("987654321", otherKeys).ok());
    SealingReader other(otherKeys);
    QString error;
    ASSERT_TRUE(other.open(path("plain"), &error));
    ASSERT_TRUE(other.resumeAt(header, sealed::resumeFromSealed(88 + 65552, quint64(plain.size())), &error));
    char buffer[100];
    EXPECT_EQ(other.read(buffer, sizeof buffer), -1);
    EXPECT_EQ(other.errorString(), "This file was sealed with another key.");
}

// A resumed download with the sealed keys at hand: the whole file is taken (the format shows
// only in its first bytes), every chunk is checked, and only what the target lacks is written;
// its first bytes stay exactly as they were, for either format.
TEST_F(SealedStreams, ResumedDownloadWritesOnlyWhatTheTargetLacks)
{
    const QByteArray plain = pattern(5 * kChunk + 9, 6);
    const QByteArray sealedFile = sealOut(plain);
    QByteArray rotorFile = plain;
    rotor->process(crypto::Direction::Encrypt, 0, reinterpret_cast<const std::uint8_t*>(plain.constData()),
                   reinterpret_cast<std::uint8_t*>(rotorFile.data()), std::size_t(plain.size()));
    for (const QByteArray* file : {&sealedFile, static_cast<const QByteArray*>(&rotorFile)}) {
        for (const qint64 held : {qint64(1), kChunk - 1, kChunk, 3 * kChunk + 5, plain.size()}) {
            SCOPED_TRACE(held);
            // Marked bytes where the target holds its start: they must come out unchanged.
            const QByteArray start(int(held), 'M');
            ASSERT_TRUE(writeFile(path("target"), start));
            OpeningWriter writer(*rotor, keys);
            QString error;
            ASSERT_TRUE(writer.openContinuing(path("target"), held, &error)) << error.toStdString();
            for (qint64 at = 0; at < file->size(); at += 33333)
                ASSERT_TRUE(writer.write(file->constData() + at, std::min<qint64>(33333, file->size() - at)));
            ASSERT_TRUE(writer.commit(&error)) << error.toStdString();
            EXPECT_TRUE(readFile(path("target")) == start + plain.mid(held));
        }
    }
    // A wrong key adds nothing to the target.
    std::shared_ptr<sealed::KeyRing> otherKeys;
    ASSERT_TRUE(sealed::KeyRing::create("987654321", otherKeys).ok());
    ASSERT_TRUE(writeFile(path("target"), "MMMM"));
    OpeningWriter writer(*rotor, otherKeys);
    QString error;
    ASSERT_TRUE(writer.openContinuing(path("target"), 4, &error));
    (void)writer.write(sealedFile.constData(), sealedFile.size());
    EXPECT_FALSE(writer.commit(&error));
    EXPECT_EQ(error, "This file was sealed with another key.");
    EXPECT_EQ(readFile(path("target")), "MMMM");
}
