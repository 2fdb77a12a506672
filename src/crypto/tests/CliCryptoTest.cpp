// The cipher commands of zephraftp-cli, run as a separate process.
#include "LiteralMachine.h"
#include "TestSupport.h"
#include "crypto/sealed/SealedFiles.h"
#include "crypto/sealed/SealedFormat.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <vector>

#ifndef ZEPHRA_CLI_PATH
#error "ZEPHRA_CLI_PATH must name the zephraftp-cli executable"
#endif

extern char** environ;

namespace zephra::crypto {
namespace {

using test::randomBytes;
using test::readFile;
using test::TempDir;
using test::writeFile;
namespace fs = std::filesystem;

struct Result {
    int exitCode = -1;
    std::string out;
    std::string err;       // without warnings
    std::string warnings;  // such as the one that --key can be seen in the process list
};

// Moves the lines "zephraftp-cli: warning: ..." from err to warnings.
void separateWarnings(Result& r)
{
    std::string errors;
    std::size_t at = 0;
    while (at < r.err.size()) {
        const std::size_t end = std::min(r.err.find('\n', at), r.err.size() - 1) + 1;
        const std::string line = r.err.substr(at, end - at);
        (line.rfind("zephraftp-cli: warning: ", 0) == 0 ? r.warnings : errors) += line;
        at = end;
    }
    r.err = errors;
}

Result runCli(const TempDir& scratch, std::vector<std::string> args)
{
    args.insert(args.begin(), ZEPHRA_CLI_PATH);
    std::vector<char*> argv;
    for (auto& a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    const std::string outPath = (scratch / "stdout.txt").string();
    const std::string errPath = (scratch / "stderr.txt").string();
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_addopen(&actions, 2, errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    pid_t pid = 0;
    Result r;
    if (posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ) == 0) {
        int status = 0;
        if (::waitpid(pid, &status, 0) == pid && WIFEXITED(status))
            r.exitCode = WEXITSTATUS(status);
    }
    posix_spawn_file_actions_destroy(&actions);
    r.out = readFile(outPath);
    r.err = readFile(errPath);
    separateWarnings(r);
    return r;
}

// Temporary keyspace directories the CLI leaves in the temporary directory.
std::size_t keyspaceDirsIn(const fs::path& tmp)
{
    std::size_t n = 0;
    for (const auto& e : fs::directory_iterator(tmp))
        n += e.path().filename().string().rfind("zephraftp-keyspace-", 0) == 0;
    return n;
}

class Cli : public ::testing::Test {
protected:
    void SetUp() override { ::setenv("TMPDIR", tmp.path().c_str(), 1); }
    void TearDown() override { ::unsetenv("TMPDIR"); }
    // A file holding the key, so that no key stands on the command line.
    std::string keyFile(const std::string& key)
    {
        const fs::path file = keys / ("key-" + key + ".txt");
        writeFile(file, key + "\n");
        return file.string();
    }
    TempDir tmp;      // the CLI's temporary directory
    TempDir files;
    TempDir scratch;
    TempDir keys;
};

TEST_F(Cli, KeyspaceWritesTheEightWorkingFiles)
{
    const Result r = runCli(scratch, {"keyspace", "123456789", (files / "ks").string()});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    literal::Keyspace lit;
    ASSERT_TRUE(literal::createKeyspace("123456789", lit));
    for (const auto& [name, bytes] : lit.files)
        EXPECT_TRUE(readFile(files / "ks" / name) == bytes) << name;
}

TEST_F(Cli, EncryptAndDecryptRoundTripAndWipeTheTemporaryKeyspace)
{
    const std::string plain = randomBytes(123457, 1);
    writeFile(files / "my plain", plain);
    Result r = runCli(scratch, {"encrypt", "--key-file", keyFile("123456789"), (files / "my plain").string(), (files / "my cipher").string()});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.err, "");
    literal::Keyspace lit;
    ASSERT_TRUE(literal::createKeyspace("123456789", lit));
    const std::string cipher = readFile(files / "my cipher");
    ASSERT_EQ(cipher.size(), plain.size());
    EXPECT_TRUE(cipher.substr(0, 5000) == literal::encrypt(lit, plain.substr(0, 5000)));
    r = runCli(scratch, {"decrypt", "--key-file", keyFile("123456789"), (files / "my cipher").string(), (files / "back").string()});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_TRUE(readFile(files / "back") == plain);
    EXPECT_EQ(keyspaceDirsIn(tmp.path()), 0u);
}

// Guards the fault where encrypt and decrypt built the keyspace as files in the temporary
// directory, so a run killed half-way left tables equivalent to the key on disk: they need no
// temporary directory at all now.
TEST_F(Cli, EncryptAndDecryptWriteNoKeyspaceFiles)
{
    ::setenv("TMPDIR", (tmp / "does not exist").c_str(), 1);
    const std::string plain = randomBytes(5000, 4);
    writeFile(files / "plain", plain);
    Result r = runCli(scratch, {"encrypt", "--key-file", keyFile("123456789"), (files / "plain").string(), (files / "cipher").string()});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    r = runCli(scratch, {"decrypt", "--key-file", keyFile("123456789"), (files / "cipher").string(), (files / "back").string()});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_TRUE(readFile(files / "back") == plain);
    EXPECT_TRUE(fs::is_empty(tmp.path()));
}

// key.dat records are 58 bytes: the name space-padded to 40, the key space-padded to 18.
std::string keyRecord(const std::string& name, const std::string& key)
{
    return name + std::string(40 - name.size(), ' ') + key + std::string(18 - key.size(), ' ');
}

TEST_F(Cli, KeyNameTakesTheKeyFromTheKeyStore)
{
    const fs::path home = files / "home";
    fs::create_directory(home);
    writeFile(home / "key.dat", keyRecord("Office", "987654321") + keyRecord("work", "123456789"));
    const std::string plain = randomBytes(4321, 3);
    writeFile(files / "plain", plain);
    Result r = runCli(scratch, {"encrypt", "--key-name", "work", "--home", home.string(), (files / "plain").string(),
                                (files / "cipher").string()});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    literal::Keyspace lit;
    ASSERT_TRUE(literal::createKeyspace("123456789", lit));
    EXPECT_TRUE(readFile(files / "cipher") == literal::encrypt(lit, plain));
    // The name is matched exactly, letter case included.
    r = runCli(scratch, {"decrypt", "--key-name", "Work", "--home", home.string(), (files / "cipher").string(),
                         (files / "back").string()});
    EXPECT_NE(r.exitCode, 0);
    EXPECT_FALSE(fs::exists(files / "back"));
}

TEST_F(Cli, FailuresPrintOneLineAndLeaveTheDestination)
{
    writeFile(files / "plain", "some text");
    writeFile(files / "dest", "keep me");
    // Each with the exit status --help gives its kind: 1 a key that cannot be used, 2 usage, 3 a
    // local file.
    const std::vector<std::pair<std::vector<std::string>, int>> bad = {
        {{"encrypt", "--key-file", keyFile("00123"), (files / "plain").string(), (files / "dest").string()}, 1},
        {{"encrypt", "--key-file", keyFile("12ab"), (files / "plain").string(), (files / "dest").string()}, 1},
        {{"encrypt", "--key-file", keyFile("123"), (files / "absent").string(), (files / "dest").string()}, 3},
        {{"decrypt", "--key-file", keyFile("123"), (files / "dest").string(), (files / "dest").string()}, 3},
        {{"encrypt", (files / "plain").string(), (files / "dest").string()}, 2},
        {{"encrypt", "--key-file", keyFile("123"), (files / "plain").string()}, 2},
        {{"encrypt", "--key-name", "absent", "--home", (scratch / "home").string(), (files / "plain").string(),
          (files / "dest").string()}, 1},
        {{"encrypt", "--key-file", keyFile("123"), "--key-name", "work", (files / "plain").string(), (files / "dest").string()}, 2},
        {{"encrypt", "--key-file", (files / "no-key-file").string(), (files / "plain").string(), (files / "dest").string()}, 3},
        {{"keyspace", "", (files / "ks").string()}, 1},
    };
    for (const auto& [args, status] : bad) {
        const Result r = runCli(scratch, args);
        EXPECT_EQ(r.exitCode, status) << args[1] << ": " << r.err;
        EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
        EXPECT_EQ(r.err.rfind("zephraftp-cli: ", 0), 0u) << r.err;
        EXPECT_EQ(readFile(files / "dest"), "keep me");
    }
    EXPECT_FALSE(fs::exists(files / "ks"));
    EXPECT_EQ(keyspaceDirsIn(tmp.path()), 0u);
    EXPECT_EQ(std::distance(fs::directory_iterator(files.path()), {}), 2);
}

// The sealed format through the CLI. Keys come from a key file, which prints no warning.
class CliSealed : public Cli {
protected:
    void SetUp() override
    {
        Cli::SetUp();
        writeFile(files / "key", "123456789\n");
        writeFile(files / "other key", "987654321\n");
        plain = randomBytes(3 * sealed::kChunkSize + 1000, 21);
        writeFile(files / "plain", plain);
    }
    Result run(const std::string& command, const std::string& keyFile, const std::string& from, const std::string& to,
               std::vector<std::string> options = {})
    {
        std::vector<std::string> args = {command, "--key-file", (files / keyFile).string()};
        args.insert(args.end(), options.begin(), options.end());
        args.push_back((files / from).string());
        args.push_back((files / to).string());
        return runCli(scratch, args);
    }
    std::string plain;
};

TEST_F(CliSealed, EncryptWritesEitherFormatAndDecryptFindsWhich)
{
    // The default stays the compatible format, byte for byte.
    ASSERT_EQ(run("encrypt", "key", "plain", "default").exitCode, 0);
    ASSERT_EQ(run("encrypt", "key", "plain", "compatible", {"--format", "compatible"}).exitCode, 0);
    literal::Keyspace lit;
    ASSERT_TRUE(literal::createKeyspace("123456789", lit));
    EXPECT_TRUE(readFile(files / "default") == literal::encrypt(lit, plain));
    EXPECT_TRUE(readFile(files / "compatible") == readFile(files / "default"));

    Result r = run("encrypt", "key", "plain", "sealed", {"--format", "sealed"});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.err, "");
    const std::string sealedBytes = readFile(files / "sealed");
    EXPECT_EQ(sealedBytes.size(), sealed::sealedSize(plain.size()));
    EXPECT_EQ(sealedBytes.substr(0, 8), std::string(sealed::kMagic.begin(), sealed::kMagic.end()));

    for (const char* name : {"sealed", "compatible"}) {
        r = run("decrypt", "key", name, std::string(name) + ".back");
        ASSERT_EQ(r.exitCode, 0) << name << ": " << r.err;
        EXPECT_TRUE(readFile(files / (std::string(name) + ".back")) == plain) << name;
    }
}

TEST_F(CliSealed, DecryptStretchesTheKeyAsTheFileSays)
{
    // A partner's file made with other Argon2id costs than this version's default.
    std::unique_ptr<sealed::MasterKey> master;
    ASSERT_TRUE(sealed::MasterKey::derive("123456789", {1, 2048, 1}, master).ok());
    ASSERT_TRUE(sealed::sealFile(*master, files / "plain", files / "cheap").ok());
    const Result r = run("decrypt", "key", "cheap", "back");
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_TRUE(readFile(files / "back") == plain);
}

TEST_F(CliSealed, RefusalsSayWhyAndReplaceNothing)
{
    ASSERT_EQ(run("encrypt", "key", "plain", "sealed", {"--format", "sealed"}).exitCode, 0);
    const std::string good = readFile(files / "sealed");
    const std::size_t H = sealed::kHeaderSize;
    const std::size_t S = sealed::kSealedChunkSize;
    std::string flipped = good;
    flipped[H + S + 7] ^= 4;
    std::string magic = good;
    magic[2] ^= 1;  // would otherwise be "decrypted" as the compatible format
    struct Row {
        const char* name;
        std::string file;
        const char* key;
        const char* message;
    };
    const Row rows[] = {
        {"wrong key", good, "other key", "This file was sealed with another key."},
        {"cut at a chunk boundary", good.substr(0, H + 2 * S), "key", "The file is incomplete: it ends before its last chunk."},
        {"cut inside a chunk", good.substr(0, H + 2 * S + 100), "key", "incomplete or was altered: the chunk at byte 131192"},
        {"a bit flipped", flipped, "key", "incomplete or was altered: the chunk at byte 65640"},
        {"bytes appended", good + "more", "key", "incomplete or was altered"},
        {"the magic damaged", magic, "key", "its sealed-format header fails its check"},
    };
    for (const Row& row : rows) {
        writeFile(files / "bad", row.file);
        writeFile(files / "dest", "keep me");
        const Result r = run("decrypt", row.key, "bad", "dest");
        EXPECT_EQ(r.exitCode, 1) << row.name;
        EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << row.name << ": " << r.err;
        EXPECT_EQ(r.err.rfind("zephraftp-cli: " + (files / "bad").string() + ": ", 0), 0u) << row.name << ": " << r.err;
        EXPECT_NE(r.err.find(row.message), std::string::npos) << row.name << ": " << r.err;
        EXPECT_EQ(readFile(files / "dest"), "keep me") << row.name;
    }
    EXPECT_EQ(std::distance(fs::directory_iterator(files.path()), {}), 6);  // no temporary file left
}

TEST_F(CliSealed, InspectPrintsTheHeaderWithoutTheKey)
{
    ASSERT_EQ(run("encrypt", "key", "plain", "sealed", {"--format", "sealed"}).exitCode, 0);
    ASSERT_EQ(run("encrypt", "key", "plain", "compatible").exitCode, 0);
    const std::string sealedBytes = readFile(files / "sealed");
    std::string saltHex;
    for (std::size_t i = 24; i < 56; ++i) {
        char two[3];
        std::snprintf(two, sizeof two, "%02x", static_cast<unsigned char>(sealedBytes[i]));
        saltHex += two;
    }
    Result r = runCli(scratch, {"inspect", (files / "sealed").string()});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    for (const std::string& line : {std::string("format: sealed"), std::string("version: 1"),
                                    std::string("key derivation: Argon2id, 3 iterations, 131072 KiB"),
                                    "salt: " + saltHex, "plaintext: " + std::to_string(plain.size()) + " bytes in 4 chunks"})
        EXPECT_NE(r.out.find(line), std::string::npos) << line << "\n" << r.out;

    r = runCli(scratch, {"inspect", (files / "compatible").string()});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_NE(r.out.find("format: compatible"), std::string::npos) << r.out;

    writeFile(files / "damaged", sealedBytes.substr(0, 40) + "x" + sealedBytes.substr(41));
    writeFile(files / "cut", sealedBytes.substr(0, sealed::kHeaderSize + sealed::kSealedChunkSize));
    for (const char* name : {"damaged", "cut", "absent"}) {
        r = runCli(scratch, {"inspect", (files / name).string()});
        EXPECT_EQ(r.exitCode, 1) << name;
        EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << name << ": " << r.err;
    }
}

TEST_F(CliSealed, FormatOptionMistakes)
{
    writeFile(files / "dest", "keep me");
    const std::vector<std::vector<std::string>> bad = {
        {"--format", "rotor"},
        {"--format"},
    };
    for (const auto& options : bad) {
        const Result r = run("encrypt", "key", "plain", "dest", options);
        EXPECT_EQ(r.exitCode, 2) << options.size() << " (a usage error)";
        EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
    }
    const Result r = run("decrypt", "key", "plain", "dest", {"--format", "sealed"});
    EXPECT_EQ(r.exitCode, 2);
    EXPECT_NE(r.err.find("takes the format from the file"), std::string::npos) << r.err;
    EXPECT_EQ(readFile(files / "dest"), "keep me");
}

}  // namespace
}  // namespace zephra::crypto
