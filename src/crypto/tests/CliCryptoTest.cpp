// The cipher commands of zephraftp-cli, run as a separate process.
#include "LiteralMachine.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

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
    std::string err;
};

Result runCli(const TempDir& scratch, std::vector<std::string> args)
{
    args.insert(args.begin(), ZEPHRA_CLI_PATH);
    std::vector<char*> argv;
    for (auto& a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    const std::string errPath = (scratch / "stderr.txt").string();
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    pid_t pid = 0;
    Result r;
    if (posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ) == 0) {
        int status = 0;
        if (::waitpid(pid, &status, 0) == pid && WIFEXITED(status))
            r.exitCode = WEXITSTATUS(status);
    }
    posix_spawn_file_actions_destroy(&actions);
    r.err = readFile(errPath);
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
    TempDir tmp;      // the CLI's temporary directory
    TempDir files;
    TempDir scratch;
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
    Result r = runCli(scratch, {"encrypt", "--key", "123456789", (files / "my plain").string(), (files / "my cipher").string()});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.err, "");
    literal::Keyspace lit;
    ASSERT_TRUE(literal::createKeyspace("123456789", lit));
    const std::string cipher = readFile(files / "my cipher");
    ASSERT_EQ(cipher.size(), plain.size());
    EXPECT_TRUE(cipher.substr(0, 5000) == literal::encrypt(lit, plain.substr(0, 5000)));
    r = runCli(scratch, {"decrypt", "--key", "123456789", (files / "my cipher").string(), (files / "back").string()});
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
    Result r = runCli(scratch, {"encrypt", "--key", "123456789", (files / "plain").string(), (files / "cipher").string()});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    r = runCli(scratch, {"decrypt", "--key", "123456789", (files / "cipher").string(), (files / "back").string()});
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
    const std::vector<std::vector<std::string>> bad = {
        {"encrypt", "--key", "00123", (files / "plain").string(), (files / "dest").string()},
        {"encrypt", "--key", "12ab", (files / "plain").string(), (files / "dest").string()},
        {"encrypt", "--key", "123", (files / "absent").string(), (files / "dest").string()},
        {"decrypt", "--key", "123", (files / "dest").string(), (files / "dest").string()},
        {"encrypt", (files / "plain").string(), (files / "dest").string()},
        {"encrypt", "--key", "123", (files / "plain").string()},
        {"encrypt", "--key-name", "absent", "--home", (scratch / "home").string(), (files / "plain").string(),
         (files / "dest").string()},
        {"encrypt", "--key", "123", "--key-name", "work", (files / "plain").string(), (files / "dest").string()},
        {"keyspace", "", (files / "ks").string()},
    };
    for (const auto& args : bad) {
        const Result r = runCli(scratch, args);
        EXPECT_NE(r.exitCode, 0) << args[1];
        EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
        EXPECT_EQ(r.err.rfind("zephraftp-cli: ", 0), 0u) << r.err;
        EXPECT_EQ(readFile(files / "dest"), "keep me");
    }
    EXPECT_FALSE(fs::exists(files / "ks"));
    EXPECT_EQ(keyspaceDirsIn(tmp.path()), 0u);
    EXPECT_EQ(std::distance(fs::directory_iterator(files.path()), {}), 2);
}

}  // namespace
}  // namespace zephra::crypto
