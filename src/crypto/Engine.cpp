#include "crypto/Engine.h"

#include "crypto/FileOps.h"
#include "crypto/Keyspace.h"
#include "crypto/Machine.h"
#include "crypto/RotorCipher.h"
#include "crypto/WorkingFiles.h"

#include <system_error>

namespace zephra::crypto {

namespace fs = std::filesystem;

struct Engine::State {
    bool hasKeyspace = false;
    Keyspace keyspace;  // what the working files must hold; the period table lives only here
    BlockBuffers buffers;
};

namespace {

Status checkWorkDir(const fs::path& dir)
{
    std::error_code ec;
    if (!fs::is_directory(dir, ec))
        return Status::failure(ErrorKind::Io, "working directory " + dir.string() + " does not exist");
    return Status::success();
}

// Reads the machine back from the working files (InitEngine, k2.bin, LoadRotors) and checks
// it is the keyspace this engine created.
Status loadMachine(const fs::path& dir, const Keyspace& ks, Machine& out)
{
    LoadedMachine loaded;
    if (Status s = loadWorkingFiles(dir, loaded); !s.ok())
        return s;
    bool same = loaded.rotors == ks.rotors && loaded.directions == ks.directions;
    for (std::size_t i = 0; i < kRotorCount; ++i)
        same = same && loaded.steps[i] == ks.steps[i];
    if (!same)
        return Status::failure(ErrorKind::DamagedKeyspace,
                               "the keyspace working files in " + dir.string() +
                                   " were changed by something else; accept the key again");
    out = Machine::build(loaded.rotors, loaded.directions, loaded.steps, ks.periodTable);
    return Status::success();
}

}  // namespace

Engine::Engine(std::filesystem::path workDir) : m_workDir(std::move(workDir)), m_state(std::make_unique<State>()) {}
Engine::~Engine() = default;

Status Engine::validateKey(std::string_view key)
{
    if (key.empty())
        return Status::failure(ErrorKind::InvalidKey, "the key is empty");
    for (char c : key) {
        if (c < '0' || c > '9')
            return Status::failure(ErrorKind::InvalidKey, "the key may hold only the digits 0 to 9");
    }
    if (!keyNumbersUsable(expandKey(key)))
        return Status::failure(ErrorKind::InvalidKey, "the key cannot make a keyspace (it begins with 00)");
    return Status::success();
}

Status Engine::createKeyspace(std::string_view key)
{
    if (Status s = validateKey(key); !s.ok())
        return s;
    if (Status s = checkWorkDir(m_workDir); !s.ok())
        return s;
    m_state->hasKeyspace = false;
    m_state->keyspace = deriveKeyspace(key);
    for (const WorkingFileImage& file : keyspaceFiles(m_state->keyspace)) {
        if (Status s = writeWorkingFile(m_workDir, file.name, file.bytes); !s.ok()) {
            // No half keyspace stays on disk: wipe what was written (best effort).
            (void)cleanUp();
            return s;
        }
    }
    m_state->hasKeyspace = true;
    return Status::success();
}

bool Engine::hasKeyspace() const { return m_state->hasKeyspace; }

Status Engine::loadCipher(std::unique_ptr<Cipher>& out) const { return loadCipher(out, {}); }

namespace {

Status usableCipher(std::unique_ptr<RotorCipher> cipher, std::string_view kernel, std::unique_ptr<Cipher>& out)
{
    if (!cipher->usable()) {
        std::string names;
        for (const std::string& n : Engine::kernelNames())
            names += (names.empty() ? "" : ", ") + n;
        return Status::failure(ErrorKind::Io, "cipher kernel \"" + std::string(kernel.empty() ? "ZEPHRA_CIPHER_KERNEL" : kernel) +
                                                  "\" is not one this CPU runs (" + names + ")");
    }
    out = std::move(cipher);
    return Status::success();
}

}  // namespace

Status Engine::makeCipher(std::string_view key, std::unique_ptr<Cipher>& out, std::string_view kernel)
{
    if (Status s = validateKey(key); !s.ok())
        return s;
    const Keyspace ks = deriveKeyspace(key);
    std::array<int, kRotorCount> steps{};
    for (std::size_t i = 0; i < kRotorCount; ++i)
        steps[i] = ks.steps[i];
    auto machine = std::make_unique<Machine>(Machine::build(ks.rotors, ks.directions, steps, ks.periodTable));
    return usableCipher(std::make_unique<RotorCipher>(*machine, kernel), kernel, out);
}

Status Engine::loadCipher(std::unique_ptr<Cipher>& out, std::string_view kernel) const
{
    if (!m_state->hasKeyspace)
        return Status::failure(ErrorKind::NoKeyspace, "no keyspace: accept a key first");
    auto machine = std::make_unique<Machine>();
    if (Status s = loadMachine(m_workDir, m_state->keyspace, *machine); !s.ok())
        return s;
    return usableCipher(std::make_unique<RotorCipher>(*machine, kernel), kernel, out);
}

std::vector<std::string> Engine::kernelNames()
{
    std::vector<std::string> names;
    for (const Kernel& k : kernelTable()) {
        if (k.supported())
            names.emplace_back(k.name);
    }
    return names;
}

Status Engine::encryptFile(const fs::path& source, const fs::path& dest, const Progress& progress)
{
    std::unique_ptr<Cipher> cipher;
    if (Status s = loadCipher(cipher); !s.ok())
        return s;
    return processFile(*cipher, Direction::Encrypt, source, dest, progress, m_state->buffers);
}

Status Engine::decryptFile(const fs::path& source, const fs::path& dest, const Progress& progress)
{
    std::unique_ptr<Cipher> cipher;
    if (Status s = loadCipher(cipher); !s.ok())
        return s;
    return processFile(*cipher, Direction::Decrypt, source, dest, progress, m_state->buffers);
}

Status Engine::cleanUp()
{
    m_state->hasKeyspace = false;
    m_state->keyspace = Keyspace{};
    Status wiped = wipeWorkingFiles(m_workDir);
    Status deleted = deleteWorkingFiles(m_workDir);
    return wiped.ok() ? deleted : wiped;
}

}  // namespace zephra::crypto
