// The cipher streams: their bytes against crypto::Engine's file operations for the sizes around
// the block edges, both directions and both ways of reading; the writer's temporary file and its
// care for the target; cancel; and the device adaptors through a real FTP session.
#include "transfer/CipherStreams.h"

#include "FtpTestServers.h"
#include "TestFiles.h"
#include "ftp/Connection.h"

#include <QDir>
#include <QFile>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <csignal>
#include <future>
#include <mutex>
#include <sys/resource.h>
#include <sys/stat.h>

using namespace zephra;
using namespace zephra::transfer;
using crypto::Direction;
using zephra::test::pattern;
using zephra::test::readFile;
using zephra::test::writeFile;

namespace {

std::filesystem::path toPath(const QString& s) { return std::filesystem::path(QFile::encodeName(s).toStdString()); }

// Hidden temporary files the writer leaves in dir.
QStringList temporaries(const QString& dir)
{
    return QDir(dir).entryList({QStringLiteral(".*.zephra-*")}, QDir::Files | QDir::Hidden);
}

// A keyspace in a directory of its own and the engine's output, the reference for every stream.
class Streams : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(QDir().mkpath(dir.filePath(QStringLiteral("ks"))));
        engine = std::make_unique<crypto::Engine>(toPath(dir.filePath(QStringLiteral("ks"))));
        ASSERT_TRUE(engine->createKeyspace("123456789").ok());
        ASSERT_TRUE(engine->loadCipher(cipher).ok());
    }

    QString path(const QString& name) const { return dir.filePath(name); }

    QByteArray engineOutput(Direction d, const QByteArray& input)
    {
        const QString in = path(QStringLiteral("ref-in")), out = path(QStringLiteral("ref-out"));
        EXPECT_TRUE(writeFile(in, input));
        QFile::remove(out);
        const crypto::Status s = d == Direction::Encrypt ? engine->encryptFile(toPath(in), toPath(out))
                                                         : engine->decryptFile(toPath(in), toPath(out));
        EXPECT_TRUE(s.ok()) << s.message;
        return readFile(out);
    }

    QTemporaryDir dir;
    std::unique_ptr<crypto::Engine> engine;
    std::unique_ptr<crypto::Cipher> cipher;
};

// Holds the cipher thread inside its first block until released, so a test can act while the
// reader has nothing ready.
class GatedCipher final : public crypto::Cipher {
public:
    explicit GatedCipher(const crypto::Cipher& inner) : m_inner(inner) {}
    void process(Direction dir, std::uint64_t position, const std::uint8_t* in, std::uint8_t* out,
                 std::size_t n) const override
    {
        std::unique_lock lock(m_mutex);
        m_entered = true;
        m_changed.notify_all();
        m_changed.wait_for(lock, std::chrono::seconds(10), [&] { return m_open; });
        lock.unlock();
        m_inner.process(dir, position, in, out, n);
    }
    std::string_view kernelName() const override { return m_inner.kernelName(); }
    bool waitEntered() const
    {
        std::unique_lock lock(m_mutex);
        return m_changed.wait_for(lock, std::chrono::seconds(10), [&] { return m_entered; });
    }
    void release()
    {
        std::lock_guard lock(m_mutex);
        m_open = true;
        m_changed.notify_all();
    }

private:
    const crypto::Cipher& m_inner;
    mutable std::mutex m_mutex;
    mutable std::condition_variable m_changed;
    mutable bool m_entered = false;
    bool m_open = false;
};

constexpr qint64 B = kCipherBlockSize;

struct Case {
    qint64 size;
    Direction direction;
    bool blocking;  // read(), or tryRead() woken by the ready callback
};

std::string caseName(const ::testing::TestParamInfo<Case>& info)
{
    return "size" + std::to_string(info.param.size) + (info.param.direction == Direction::Encrypt ? "_encrypt" : "_decrypt")
           + (info.param.blocking ? "_read" : "_tryRead");
}

std::vector<Case> cases()
{
    std::vector<Case> all;
    for (qint64 size : {qint64{0}, qint64{1}, B - 1, B, B + 1, 6 * B + 12345}) {
        for (Direction d : {Direction::Encrypt, Direction::Decrypt}) {
            for (bool blocking : {true, false})
                all.push_back({size, d, blocking});
        }
    }
    return all;
}

class StreamSizes : public Streams, public ::testing::WithParamInterface<Case> {};

TEST_P(StreamSizes, ReaderGivesTheEnginesBytes)
{
    const Case c = GetParam();
    const QByteArray input = pattern(c.size);
    const QByteArray expected = engineOutput(c.direction, input);
    const QString source = path(QStringLiteral("source"));
    ASSERT_TRUE(writeFile(source, input));

    std::mutex mutex;  // outlive the reader, whose thread calls back until it is destroyed
    std::condition_variable woken;
    int calls = 0;
    CipherReader reader(*cipher, c.direction);
    reader.setReadyCallback([&] {
        std::lock_guard lock(mutex);
        ++calls;
        woken.notify_all();
    });
    QString error;
    ASSERT_TRUE(reader.open(source, &error)) << error.toStdString();
    EXPECT_EQ(reader.size(), c.size);

    QByteArray out;
    std::vector<char> buffer(100000);  // not a divisor of the block size: reads straddle blocks
    for (int round = 0; round < 10000; ++round) {
        if (c.blocking) {
            const qint64 n = reader.read(buffer.data(), qint64(buffer.size()));
            ASSERT_GE(n, 0) << reader.errorString().toStdString();
            if (n == 0)
                break;
            out.append(buffer.data(), n);
        } else {
            int seen = 0;
            {
                std::lock_guard lock(mutex);
                seen = calls;
            }
            const qint64 n = reader.tryRead(buffer.data(), qint64(buffer.size()));
            ASSERT_GE(n, 0) << reader.errorString().toStdString();
            out.append(buffer.data(), n);
            if (n == 0 && reader.atEnd())
                break;
            if (n == 0) {
                std::unique_lock lock(mutex);
                ASSERT_TRUE(woken.wait_for(lock, std::chrono::seconds(10), [&] { return calls != seen; }))
                    << "no ready callback";
            }
        }
    }
    EXPECT_TRUE(reader.atEnd());
    EXPECT_EQ(out.size(), expected.size());
    EXPECT_TRUE(out == expected);
}

TEST_P(StreamSizes, WriterWritesTheEnginesBytes)
{
    const Case c = GetParam();
    const QByteArray input = pattern(c.size, 7);
    const QByteArray expected = engineOutput(c.direction, input);
    const QString target = path(QStringLiteral("target"));

    CipherWriter writer(*cipher, c.direction);
    QString error;
    ASSERT_TRUE(writer.open(target, &error)) << error.toStdString();
    // Small odd pieces, or the whole in one write: both cross the block edges.
    const qint64 piece = c.blocking ? 77777 : std::max<qint64>(1, c.size);
    for (qint64 at = 0; at < input.size(); at += piece)
        ASSERT_TRUE(writer.write(input.constData() + at, std::min(piece, input.size() - at)));
    EXPECT_EQ(writer.written(), c.size);
    ASSERT_TRUE(writer.commit(&error)) << error.toStdString();
    EXPECT_TRUE(readFile(target) == expected);
    EXPECT_TRUE(temporaries(dir.path()).isEmpty());
}

INSTANTIATE_TEST_SUITE_P(AroundBlockEdges, StreamSizes, ::testing::ValuesIn(cases()), caseName);

TEST_F(Streams, WriterNeverTouchesTheTargetUntilCommit)
{
    const QString target = path(QStringLiteral("keep.txt"));
    ASSERT_TRUE(writeFile(target, "the user's file"));
    ASSERT_EQ(::chmod(QFile::encodeName(target).constData(), 0640), 0);
    const QByteArray input = pattern(2 * B + 5);

    {  // abort
        CipherWriter writer(*cipher, Direction::Decrypt);
        ASSERT_TRUE(writer.open(target, nullptr));
        const QStringList temps = temporaries(dir.path());
        ASSERT_EQ(temps.size(), 1);
        // Plaintext fills it, so nobody else may read it meanwhile.
        struct stat st {};
        ASSERT_EQ(::stat(QFile::encodeName(path(temps[0])).constData(), &st), 0);
        EXPECT_EQ(st.st_mode & 0777, 0600u);
        ASSERT_TRUE(writer.write(input.constData(), input.size()));
        writer.abort();
        writer.abort();
        EXPECT_EQ(readFile(target), "the user's file");
        EXPECT_TRUE(temporaries(dir.path()).isEmpty());
    }
    {  // destroyed without commit
        CipherWriter writer(*cipher, Direction::Decrypt);
        ASSERT_TRUE(writer.open(target, nullptr));
        ASSERT_TRUE(writer.write(input.constData(), input.size()));
    }
    EXPECT_EQ(readFile(target), "the user's file");
    EXPECT_TRUE(temporaries(dir.path()).isEmpty());

    {  // commit replaces the whole file (a longer old file keeps none of its tail) and its mode
        ASSERT_TRUE(writeFile(target, pattern(5 * B)));
        CipherWriter writer(*cipher, Direction::Decrypt);
        ASSERT_TRUE(writer.open(target, nullptr));
        ASSERT_TRUE(writer.write(input.constData(), input.size()));
        QString error;
        ASSERT_TRUE(writer.commit(&error)) << error.toStdString();
        EXPECT_TRUE(readFile(target) == engineOutput(Direction::Decrypt, input));
        struct stat st {};
        ASSERT_EQ(::stat(QFile::encodeName(target).constData(), &st), 0);
        EXPECT_EQ(st.st_mode & 0777, 0640u);
        EXPECT_FALSE(writer.write("x", 1)) << "a committed writer takes nothing more";
    }
}

TEST_F(Streams, WriterFailingToWriteSaysWhyAndKeepsTheTarget)
{
    const QString target = path(QStringLiteral("keep.bin"));
    ASSERT_TRUE(writeFile(target, "old content"));
    const QByteArray input = pattern(6 * B);

    // A file-size limit stands in for a full disk: the temporary file cannot grow past 1 MiB.
    struct rlimit old {};
    ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &old), 0);
    const auto oldSignal = std::signal(SIGXFSZ, SIG_IGN);
    struct rlimit small = old;
    small.rlim_cur = rlim_t(B);
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);

    CipherWriter writer(*cipher, Direction::Decrypt);
    ASSERT_TRUE(writer.open(target, nullptr));
    bool allTaken = true;
    for (qint64 at = 0; at < input.size() && allTaken; at += 256 * 1024)
        allTaken = writer.write(input.constData() + at, 256 * 1024);
    QString error;
    const bool committed = writer.commit(&error);
    ::setrlimit(RLIMIT_FSIZE, &old);
    std::signal(SIGXFSZ, oldSignal);

    EXPECT_FALSE(committed);
    EXPECT_TRUE(error.contains(QStringLiteral("cannot write"))) << error.toStdString();
    EXPECT_TRUE(error.contains(target)) << error.toStdString();
    EXPECT_EQ(writer.errorString(), error);
    EXPECT_EQ(readFile(target), "old content");
    EXPECT_TRUE(temporaries(dir.path()).isEmpty());
    EXPECT_FALSE(writer.write("x", 1));
}

TEST_F(Streams, WhatCannotBeOpenedIsRefusedWithItsReason)
{
    QString error;
    CipherReader missing(*cipher, Direction::Encrypt);
    EXPECT_FALSE(missing.open(path(QStringLiteral("missing")), &error));
    EXPECT_TRUE(error.contains(QStringLiteral("cannot read"))) << error.toStdString();
    CipherReader directory(*cipher, Direction::Encrypt);
    EXPECT_FALSE(directory.open(dir.path(), &error));
    EXPECT_TRUE(error.contains(QStringLiteral("not a regular file"))) << error.toStdString();

    CipherWriter onDirectory(*cipher, Direction::Decrypt);
    EXPECT_FALSE(onDirectory.open(dir.path(), &error));
    EXPECT_TRUE(error.contains(QStringLiteral("is a directory"))) << error.toStdString();
    CipherWriter noFolder(*cipher, Direction::Decrypt);
    EXPECT_FALSE(noFolder.open(path(QStringLiteral("no/such/dir/file")), &error));
    EXPECT_TRUE(error.contains(QStringLiteral("cannot write"))) << error.toStdString();
    EXPECT_FALSE(noFolder.commit(&error));
}

TEST_F(Streams, CancelUnblocksAWaitingRead)
{
    const QString source = path(QStringLiteral("source"));
    ASSERT_TRUE(writeFile(source, pattern(3 * B)));
    GatedCipher gated(*cipher);
    CipherReader reader(gated, Direction::Encrypt);
    ASSERT_TRUE(reader.open(source, nullptr));
    std::vector<char> buffer(4096);
    EXPECT_EQ(reader.tryRead(buffer.data(), 1), 0);  // starts the cipher thread
    ASSERT_TRUE(gated.waitEntered());                // nothing can be ready now
    auto pending = std::async(std::launch::async, [&] { return reader.read(buffer.data(), qint64(buffer.size())); });
    EXPECT_EQ(pending.wait_for(std::chrono::milliseconds(50)), std::future_status::timeout);
    reader.cancel();
    ASSERT_EQ(pending.wait_for(std::chrono::seconds(10)), std::future_status::ready);
    EXPECT_EQ(pending.get(), -1);
    EXPECT_EQ(reader.tryRead(buffer.data(), 1), -1);
    gated.release();
}

// Guards against a file that shrinks or grows while it is sent arriving short but "complete".
TEST_F(Streams, ReaderFailsWhenTheFileChangesSize)
{
    for (qint64 newSize : {B + 10, 4 * B}) {
        const QString source = path(QStringLiteral("source"));
        ASSERT_TRUE(writeFile(source, pattern(3 * B)));
        GatedCipher gated(*cipher);
        CipherReader reader(gated, Direction::Encrypt);
        ASSERT_TRUE(reader.open(source, nullptr));
        std::vector<char> buffer(B);
        EXPECT_EQ(reader.tryRead(buffer.data(), 1), 0);  // starts the cipher thread
        ASSERT_TRUE(gated.waitEntered());
        ASSERT_TRUE(QFile::resize(source, newSize));
        gated.release();
        qint64 n = 0;
        for (int i = 0; i < 10; ++i) {
            n = reader.read(buffer.data(), qint64(buffer.size()));
            if (n <= 0)
                break;
        }
        EXPECT_EQ(n, -1) << "resized to " << newSize;
        EXPECT_TRUE(reader.errorString().contains(source)) << reader.errorString().toStdString();
        EXPECT_FALSE(reader.atEnd());
    }
}

// ---------------------------------------------------------------------------------------------
// The device adaptors with the FTP engine against real servers.

class DevicesOverFtp : public Streams, public ::testing::WithParamInterface<const char*> {
protected:
    void SetUp() override
    {
        Streams::SetUp();
        QString reason;
        server = zephra::test::sharedFtpTestServer(QString::fromLatin1(GetParam()), &reason);
        if (!server)
            GTEST_SKIP() << reason.toStdString();
        remoteDir = QStringLiteral("d%1").arg(++counter);
        ASSERT_TRUE(QDir().mkpath(server->rootDir() + QLatin1Char('/') + remoteDir));
        connection.setTimeOut(20000);
        ftp::Result r = run([&] {
            connection.Connect(server->host(), QString::number(server->port()), server->user(), server->password());
        });
        ASSERT_TRUE(r.ok()) << r.description.toStdString();
        ASSERT_TRUE(run([&] { connection.TransferType(0); }).ok());
        ASSERT_TRUE(run([&] { connection.ChangeDirectory(remoteDir); }).ok());
    }

    ftp::Result run(const std::function<void()>& operation)
    {
        QSignalSpy spy(&connection, &ftp::Connection::finished);
        operation();
        if (spy.isEmpty() && !spy.wait(60000))
            return ftp::Result{ftp::ErrorKind::ProtocolError, 0, {}, QStringLiteral("no result in time")};
        return spy.takeFirst().at(0).value<ftp::Result>();
    }

    QString remote(const QString& name) const { return server->rootDir() + '/' + remoteDir + '/' + name; }

    zephra::test::FtpTestServer* server = nullptr;
    ftp::Connection connection;
    QString remoteDir;
    static inline int counter = 0;
};

TEST_P(DevicesOverFtp, EncryptedUpAndDecryptedDownKeepEveryByte)
{
    for (qint64 size : {qint64{0}, 3 * B + 17}) {
        const QByteArray input = pattern(size, 3);
        const QString source = path(QStringLiteral("plain.bin"));
        ASSERT_TRUE(writeFile(source, input));
        const QString name = QStringLiteral("cipher%1.bin").arg(size);

        auto reader = std::make_unique<CipherReader>(*cipher, Direction::Encrypt);
        ASSERT_TRUE(reader->open(source, nullptr));
        const qint64 total = reader->size();
        CipherSourceDevice up(std::move(reader));
        ftp::Result r = run([&] { connection.PutFile(name, &up, total); });
        ASSERT_TRUE(r.ok()) << r.description.toStdString();
        EXPECT_TRUE(readFile(remote(name)) == engineOutput(Direction::Encrypt, input)) << "size " << size;

        const QString target = path(QStringLiteral("back.bin"));
        ASSERT_TRUE(writeFile(target, "older and different"));
        auto writer = std::make_unique<CipherWriter>(*cipher, Direction::Decrypt);
        ASSERT_TRUE(writer->open(target, nullptr));
        CipherSinkDevice down(std::move(writer));
        r = run([&] { connection.GetFile(name, &down); });
        ASSERT_TRUE(r.ok()) << r.description.toStdString();
        QString error;
        ASSERT_TRUE(down.writer().commit(&error)) << error.toStdString();
        EXPECT_TRUE(readFile(target) == input) << "size " << size;
    }
}

// Guards against a reader failure ending the upload as if the file were complete.
TEST_P(DevicesOverFtp, ASourceThatFailsEndsTheUploadWithItsReason)
{
    const QString source = path(QStringLiteral("shrinks.bin"));
    ASSERT_TRUE(writeFile(source, pattern(3 * B)));
    GatedCipher gated(*cipher);
    auto reader = std::make_unique<CipherReader>(gated, Direction::Encrypt);
    ASSERT_TRUE(reader->open(source, nullptr));
    char first = 0;
    EXPECT_EQ(reader->tryRead(&first, 1), 0);  // starts the cipher thread
    ASSERT_TRUE(gated.waitEntered());
    ASSERT_TRUE(QFile::resize(source, B / 2));
    gated.release();
    CipherSourceDevice up(std::move(reader));
    const ftp::Result r = run([&] { connection.PutFile(QStringLiteral("short.bin"), &up, 3 * B); });
    EXPECT_FALSE(r.ok());
    EXPECT_TRUE(r.description.contains(source)) << r.description.toStdString();
    EXPECT_TRUE(run([&] { connection.TransferType(0); }).ok()) << "the session stays usable";
}

INSTANTIATE_TEST_SUITE_P(RealServers, DevicesOverFtp, ::testing::Values("vsftpd", "pyftpdlib"),
                         [](const auto& info) { return std::string(info.param); });

}  // namespace
