// The keyspace working files as a file operation reads them back. The input holds the files
// k3.bin, k4.bin, k2.bin, k1.bcr and k1.brs in this order, separated by lines "=====" (LF
// before and after); with four parts k1.brs is a copy of k1.bcr, with fewer the rest are missing.
// Whatever the files hold, the reader refuses them with a message or gives a machine that
// enciphers and deciphers back.

#include "FuzzTarget.h"

#include "crypto/Keyspace.h"
#include "crypto/Machine.h"
#include "crypto/RotorCipher.h"
#include "crypto/WorkingFiles.h"

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string_view>
#include <vector>

using namespace zephra::crypto;
namespace fs = std::filesystem;

namespace {

const fs::path& workDir()
{
    static const fs::path dir = [] {
        std::string pattern = (fs::temp_directory_path() / "zephra-fuzz-keyspace-XXXXXX").string();
        FUZZ_CHECK(::mkdtemp(pattern.data()) != nullptr);
        return fs::path(pattern);
    }();
    return dir;
}

void putFile(const char* name, std::string_view bytes)
{
    std::ofstream out(workDir() / name, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), std::streamsize(bytes.size()));
    FUZZ_CHECK(out.good());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    static const Keyspace keyspace = deriveKeyspace("1234567890");
    static const std::string_view separator = "\n=====\n";
    const std::string_view input(reinterpret_cast<const char*>(data), size);

    std::vector<std::string_view> parts;
    std::size_t start = 0;
    while (parts.size() < 5) {
        const std::size_t at = input.find(separator, start);
        if (at == std::string_view::npos) {
            parts.push_back(input.substr(start));
            break;
        }
        parts.push_back(input.substr(start, at - start));
        start = at + separator.size();
    }
    if (parts.size() == 4)
        parts.push_back(parts[3]);
    const char* const names[] = {"k3.bin", "k4.bin", "k2.bin", "k1.bcr", "k1.brs"};
    for (std::size_t i = 0; i < 5; ++i) {
        if (i < parts.size())
            putFile(names[i], parts[i]);
        else
            fs::remove(workDir() / names[i]);
    }

    LoadedMachine loaded;
    const Status status = loadWorkingFiles(workDir(), loaded);
    if (!status.ok()) {
        FUZZ_CHECK(status.kind == ErrorKind::DamagedKeyspace);
        FUZZ_CHECK(!status.message.empty());
        return 0;
    }
    for (std::size_t i = 0; i < kRotorCount; ++i) {
        FUZZ_CHECK(loaded.directions[i] <= 1);
        FUZZ_CHECK(loaded.steps[i] >= 1 && loaded.steps[i] <= 256);
        Rotor sorted = loaded.rotors[i];
        std::sort(sorted.begin(), sorted.end());
        for (int v = 0; v < 256; ++v)
            FUZZ_CHECK(sorted[std::size_t(v)] == v);
    }
    // What the reader accepts makes a working machine.
    const Machine machine = Machine::build(loaded.rotors, loaded.directions, loaded.steps, keyspace.periodTable);
    const RotorCipher cipher(machine, "scalar");
    FUZZ_CHECK(cipher.usable());
    std::uint8_t plain[64];
    for (std::size_t i = 0; i < sizeof plain; ++i)
        plain[i] = std::uint8_t(i * 37);
    std::uint8_t sealed[64];
    std::uint8_t back[64];
    const std::uint64_t position = size * 7919;
    cipher.process(Direction::Encrypt, position, plain, sealed, sizeof plain);
    cipher.process(Direction::Decrypt, position, sealed, back, sizeof plain);
    FUZZ_CHECK(std::equal(plain, plain + sizeof plain, back));
    return 0;
}
