#pragma once
// The rotor cipher engine: keyspace creation, file encryption and decryption, and the
// wiping of the keyspace working files. Plain C++: this library links no Qt.

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace zephra::crypto {

enum class ErrorKind {
    None,
    InvalidKey,         // the key would expand to key numbers outside 1..256
    NoKeyspace,         // a file operation before a keyspace was created
    DamagedKeyspace,    // working files missing or not what the keyspace creation wrote
    SourceUnreadable,
    DestinationUnwritable,
    SameFile,           // source and destination name the same file
    Cancelled,
    Io,
    // The sealed format (crypto/sealed):
    NotSealed,          // no sealed-format header: a file of the compatible format, or no cipher file at all
    WrongKey,           // sealed with another key
    Damaged,            // a header or a chunk fails its check: damaged, cut inside a chunk, or altered
    Truncated,          // ends before its last chunk
    Unsupported,        // a later format version, or limits this version refuses
    KeyParameters,      // the master key was derived with other parameters than the file names
};

struct [[nodiscard]] Status {
    ErrorKind kind = ErrorKind::None;
    std::string message;  // one line, fit for a message box or stderr

    bool ok() const { return kind == ErrorKind::None; }
    static Status success() { return {}; }
    static Status failure(ErrorKind k, std::string text) { return {k, std::move(text)}; }
};

enum class Direction { Encrypt, Decrypt };

// Called now and then during a file operation; return false to cancel it.
using Progress = std::function<bool(std::uint64_t done, std::uint64_t total)>;

class Cipher;

// One engine per working directory. The directory holds the keyspace working files
// (k1.bin ... k6.dat); the engine never touches the process's current directory.
// An engine is used from one thread at a time; the Ciphers it hands out are independent.
class Engine final {
public:
    explicit Engine(std::filesystem::path workDir);
    ~Engine();
    Engine(const Engine&) = delete;
    Engine& operator=(const Engine&) = delete;

    const std::filesystem::path& workDir() const { return m_workDir; }

    // Refuses keys that cannot yield a valid keyspace before anything is written.
    static Status validateKey(std::string_view key);

    // Writes the eight working files for key and fills the in-memory period table.
    // A second call replaces the first keyspace.
    Status createKeyspace(std::string_view key);
    bool hasKeyspace() const;

    // Write dest as a whole (temporary file beside it, renamed into place on success);
    // a failed or cancelled operation leaves an existing dest untouched.
    Status encryptFile(const std::filesystem::path& source, const std::filesystem::path& dest,
                       const Progress& progress = {});
    Status decryptFile(const std::filesystem::path& source, const std::filesystem::path& dest,
                       const Progress& progress = {});

    // Loads the machine from the working files for streaming use (e.g. while sending).
    // The kernel is the best one this CPU runs, or the one ZEPHRA_CIPHER_KERNEL names.
    Status loadCipher(std::unique_ptr<Cipher>& out) const;
    // As above with the kernel named explicitly ("" chooses as above); for tests and benchmarks.
    Status loadCipher(std::unique_ptr<Cipher>& out, std::string_view kernel) const;

    // The cipher of key built in memory alone: no working file is written anywhere, so nothing
    // equivalent to the key is left on disk if the process is killed. Enciphers exactly as
    // loadCipher after createKeyspace(key) does.
    static Status makeCipher(std::string_view key, std::unique_ptr<Cipher>& out, std::string_view kernel = {});

    // Names of the cipher kernels this CPU runs, best first ("scalar" always last).
    static std::vector<std::string> kernelNames();

    // Overwrites and deletes all fifteen working-file names in workDir; forgets the keyspace.
    Status cleanUp();

private:
    std::filesystem::path m_workDir;
    struct State;
    std::unique_ptr<State> m_state;
};

// The machine at any byte position depends only on the position, so a Cipher can
// process any range of a file independently, in any order and on any thread.
// process() takes the range's first position in the file; in and out may be the same buffer.
class Cipher {
public:
    virtual ~Cipher() = default;
    virtual void process(Direction dir, std::uint64_t position, const std::uint8_t* in,
                         std::uint8_t* out, std::size_t n) const = 0;
    virtual std::string_view kernelName() const = 0;
};

}  // namespace zephra::crypto
