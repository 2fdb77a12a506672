#include "crypto/WorkingFiles.h"

#include "crypto/PosixIo.h"

#include <algorithm>
#include <bit>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

namespace zephra::crypto {

namespace fs = std::filesystem;

namespace {

constexpr std::size_t kRotorFileSize = 256 * kRotorCount;

std::string errnoText(int err) { return std::strerror(err); }

Status ioFailure(ErrorKind kind, const fs::path& path, const char* what, int err)
{
    return Status::failure(kind, std::string(what) + " " + path.string() + ": " + errnoText(err));
}

class Fd {
public:
    explicit Fd(int fd = -1) : m_fd(fd) {}
    ~Fd() { reset(); }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    int get() const { return m_fd; }
    void reset()
    {
        if (m_fd >= 0)
            ::close(m_fd);
        m_fd = -1;
    }
    int release() { return std::exchange(m_fd, -1); }

private:
    int m_fd;
};

// Reads a whole small file; false with errno set when it cannot be opened or read.
bool readSmallFile(const fs::path& path, std::vector<std::uint8_t>& out, std::size_t limit)
{
    Fd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
    if (fd.get() < 0)
        return false;
    out.clear();
    std::uint8_t buf[4096];
    for (;;) {
        const ssize_t r = ::read(fd.get(), buf, sizeof buf);
        if (r < 0 && errno == EINTR)
            continue;
        if (r < 0)
            return false;
        if (r == 0)
            return true;
        out.insert(out.end(), buf, buf + r);
        if (out.size() > limit) {
            errno = EFBIG;
            return false;
        }
    }
}

// The numbers of a text file, line by line (blanks and commas separate items).
std::vector<std::vector<double>> parseTextNumbers(const std::vector<std::uint8_t>& bytes, bool& ok)
{
    ok = true;
    std::vector<std::vector<double>> lines;
    std::string text(bytes.begin(), bytes.end());
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t end = text.find('\n', start);
        if (end == std::string::npos)
            end = text.size();
        std::string line = text.substr(start, end - start);
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        std::vector<double> items;
        std::size_t i = 0;
        while (i < line.size()) {
            while (i < line.size() && (line[i] == ' ' || line[i] == ',' || line[i] == '\t'))
                ++i;
            if (i >= line.size())
                break;
            const char* begin = line.c_str() + i;
            char* stop = nullptr;
            const double v = std::strtod(begin, &stop);
            if (stop == begin || !std::isfinite(v)) {
                ok = false;
                return lines;
            }
            items.push_back(v);
            i += static_cast<std::size_t>(stop - begin);
        }
        lines.push_back(std::move(items));
        start = end + 1;
    }
    return lines;
}

// Overwrites an existing file in place with content (filling any longer tail first, so no
// old byte survives in the file's blocks), cuts it to content's length and flushes it.
// A missing file is left missing.
Status overwriteExisting(const fs::path& path, std::span<const std::uint8_t> content, char filler,
                         bool onlyWhenNotEmpty)
{
    Fd fd(::open(path.c_str(), O_WRONLY | O_CLOEXEC | O_NOFOLLOW));
    if (fd.get() < 0) {
        if (errno == ENOENT || errno == ELOOP)  // nothing of ours to overwrite; deletion follows
            return Status::success();
        return ioFailure(ErrorKind::Io, path, "cannot overwrite", errno);
    }
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0)
        return ioFailure(ErrorKind::Io, path, "cannot overwrite", errno);
    if (!S_ISREG(st.st_mode))
        return Status::success();
    const auto size = static_cast<std::size_t>(st.st_size);
    if (onlyWhenNotEmpty && size == 0)
        return Status::success();
    if (!writeAll(fd.get(), content.data(), content.size(), 0))
        return ioFailure(ErrorKind::Io, path, "cannot overwrite", errno);
    if (size > content.size()) {
        const std::vector<std::uint8_t> tail(size - content.size(), static_cast<std::uint8_t>(filler));
        if (!writeAll(fd.get(), tail.data(), tail.size(), static_cast<off_t>(content.size())))
            return ioFailure(ErrorKind::Io, path, "cannot overwrite", errno);
        if (::fsync(fd.get()) != 0 || ::ftruncate(fd.get(), static_cast<off_t>(content.size())) != 0)
            return ioFailure(ErrorKind::Io, path, "cannot overwrite", errno);
    }
    if (::fsync(fd.get()) != 0)
        return ioFailure(ErrorKind::Io, path, "cannot flush", errno);
    return Status::success();
}

std::vector<std::uint8_t> toBytes(const std::string& s) { return {s.begin(), s.end()}; }

std::vector<std::uint8_t> xLines()
{
    std::string s;
    for (int i = 0; i < 20; ++i)
        s += "xxxxx\r\n";
    return toBytes(s);
}

}  // namespace

ParameterRecord ParameterRecord::fromKeyspace(const Keyspace& ks)
{
    ParameterRecord r;
    for (std::size_t i = 0; i < kRotorCount; ++i) {
        r.letters[i] = ks.directions[i] ? 'U' : 'D';
        r.numbers[i] = static_cast<float>(ks.slotNumbers[i]);
    }
    return r;
}

ParameterRecord ParameterRecord::blank()
{
    ParameterRecord r;
    r.letters.fill(' ');
    r.numbers.fill(0.0f);
    return r;
}

bool ParameterRecord::read(std::span<const std::uint8_t> bytes, ParameterRecord& out)
{
    if (bytes.size() < kSize)
        return false;
    for (std::size_t i = 0; i < kRotorCount; ++i) {
        out.letters[i] = static_cast<char>(bytes[i]);
        const std::size_t o = 20 + 4 * i;
        const std::uint32_t bits = std::uint32_t(bytes[o]) | std::uint32_t(bytes[o + 1]) << 8 |
                                   std::uint32_t(bytes[o + 2]) << 16 | std::uint32_t(bytes[o + 3]) << 24;
        out.numbers[i] = std::bit_cast<float>(bits);
    }
    return true;
}

std::array<std::uint8_t, ParameterRecord::kSize> ParameterRecord::write() const
{
    std::array<std::uint8_t, kSize> b{};
    for (std::size_t i = 0; i < kRotorCount; ++i) {
        b[i] = static_cast<std::uint8_t>(letters[i]);
        const std::uint32_t bits = std::bit_cast<std::uint32_t>(numbers[i]);
        const std::size_t o = 20 + 4 * i;
        b[o] = static_cast<std::uint8_t>(bits);
        b[o + 1] = static_cast<std::uint8_t>(bits >> 8);
        b[o + 2] = static_cast<std::uint8_t>(bits >> 16);
        b[o + 3] = static_cast<std::uint8_t>(bits >> 24);
    }
    return b;
}

std::string textNumberLine(std::span<const int> numbers)
{
    std::string line;
    for (int n : numbers) {
        // A number is printed with a leading sign position (blank for positive) and a trailing blank.
        line += n < 0 ? "" : " ";
        line += std::to_string(n);
        line += ' ';
    }
    return line + "\r\n";
}

std::string textNumberLines(std::span<const std::int16_t> numbers)
{
    std::string text;
    for (std::int16_t n : numbers) {
        const int v = n;
        text += textNumberLine(std::span<const int>(&v, 1));
    }
    return text;
}

std::vector<WorkingFileImage> keyspaceFiles(const Keyspace& ks)
{
    std::vector<std::uint8_t> rotors;
    rotors.reserve(kRotorFileSize);
    for (const Rotor& r : ks.rotors)
        rotors.insert(rotors.end(), r.begin(), r.end());
    const int k2[] = {kRotorCount, kRounds};
    const auto record = ParameterRecord::fromKeyspace(ks).write();
    return {
        {"k1.bin", rotors},
        {"k2.bin", toBytes(textNumberLine(k2))},
        {"k3.bin", {record.begin(), record.end()}},
        {"k4.bin", toBytes(textNumberLines(ks.steps))},
        {"k5.bin", toBytes(textNumberLines(ks.k5))},
        {"k6.dat", toBytes(textNumberLines(ks.k6))},
        {"k1.brs", rotors},
        {"k1.bcr", rotors},
    };
}

Status writeWorkingFile(const fs::path& dir, const std::string& name, std::span<const std::uint8_t> bytes)
{
    const fs::path path = dir / name;
    Fd fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0600));
    if (fd.get() < 0)
        return ioFailure(ErrorKind::Io, path, "cannot write", errno);
    if (::fchmod(fd.get(), 0600) != 0 || !writeAll(fd.get(), bytes.data(), bytes.size(), 0) ||
        ::fsync(fd.get()) != 0)
        return ioFailure(ErrorKind::Io, path, "cannot write", errno);
    if (::close(fd.release()) != 0)
        return ioFailure(ErrorKind::Io, path, "cannot write", errno);
    return Status::success();
}

Status loadWorkingFiles(const fs::path& dir, LoadedMachine& out)
{
    auto damaged = [&](const char* name, const std::string& why) {
        return Status::failure(ErrorKind::DamagedKeyspace,
                               "keyspace working file " + (dir / name).string() + " " + why +
                                   "; accept the key again");
    };
    std::vector<std::uint8_t> bytes;

    // InitEngine: slot directions from k3.bin, slot steps from k4.bin.
    if (!readSmallFile(dir / "k3.bin", bytes, 1 << 20))
        return damaged("k3.bin", errno == ENOENT ? "is missing" : "cannot be read: " + errnoText(errno));
    ParameterRecord record;
    if (!ParameterRecord::read(bytes, record))
        return damaged("k3.bin", "is shorter than one parameter record");
    for (std::size_t i = 0; i < kRotorCount; ++i)
        out.directions[i] = record.letters[i] == 'D' ? 0 : 1;

    if (!readSmallFile(dir / "k4.bin", bytes, 1 << 20))
        return damaged("k4.bin", errno == ENOENT ? "is missing" : "cannot be read: " + errnoText(errno));
    bool ok = false;
    auto lines = parseTextNumbers(bytes, ok);
    if (!ok || lines.size() < kRotorCount)
        return damaged("k4.bin", "does not hold 20 slot steps");
    for (std::size_t i = 0; i < kRotorCount; ++i) {
        if (lines[i].empty())
            return damaged("k4.bin", "does not hold 20 slot steps");
        const double step = std::nearbyint(lines[i][0]);
        if (step > 256)
            return damaged("k4.bin", "holds a slot step above 256");
        out.steps[i] = step < 1 ? 1 : static_cast<int>(step);
    }

    // The rotor count and the rounds per byte.
    if (!readSmallFile(dir / "k2.bin", bytes, 1 << 20))
        return damaged("k2.bin", errno == ENOENT ? "is missing" : "cannot be read: " + errnoText(errno));
    lines = parseTextNumbers(bytes, ok);
    std::vector<double> items;
    for (const auto& l : lines)
        items.insert(items.end(), l.begin(), l.end());
    if (!ok || items.size() < 2 || items[0] != kRotorCount || items[1] != kRounds)
        return damaged("k2.bin", "does not hold 20 rotors and 2 rounds");

    // LoadRotors reads k1.bcr; every operation leaves it equal to k1.brs.
    std::vector<std::uint8_t> backup;
    if (!readSmallFile(dir / "k1.bcr", bytes, 1 << 20))
        return damaged("k1.bcr", errno == ENOENT ? "is missing" : "cannot be read: " + errnoText(errno));
    if (!readSmallFile(dir / "k1.brs", backup, 1 << 20))
        return damaged("k1.brs", errno == ENOENT ? "is missing" : "cannot be read: " + errnoText(errno));
    if (bytes.size() < kRotorFileSize)
        return damaged("k1.bcr", "does not hold 20 rotors");
    if (backup.size() < kRotorFileSize || !std::equal(bytes.begin(), bytes.begin() + kRotorFileSize, backup.begin()))
        return damaged("k1.bcr", "differs from its backup k1.brs");
    for (std::size_t r = 0; r < kRotorCount; ++r) {
        std::array<bool, 256> seen{};
        for (std::size_t p = 0; p < 256; ++p) {
            const std::uint8_t v = bytes[r * 256 + p];
            out.rotors[r][p] = v;
            seen[v] = true;
        }
        // Decryption inverts every rotor; a damaged one would make it impossible.
        if (std::find(seen.begin(), seen.end(), false) != seen.end())
            return damaged("k1.bcr", "holds a rotor that is not a permutation of the 256 byte values");
    }
    return Status::success();
}

const std::array<const char*, 15>& cleanUpNames()
{
    static constexpr std::array<const char*, 15> kNames = {
        "k1.tcr", "k1.trs", "k1.bcr", "k1.brs", "k1.txt", "k1.bin", "k2.txt", "k2.bin",
        "k3.txt", "k3.bin", "k4.txt", "k4.bin", "k5.txt", "k5.bin", "k6.dat",
    };
    return kNames;
}

Status wipeWorkingFiles(const fs::path& dir)
{
    Status first;
    auto keep = [&first](Status s) {
        if (first.ok() && !s.ok())
            first = std::move(s);
    };
    for (const char* name : {"k1.tcr", "k1.trs", "k1.txt"})
        keep(overwriteExisting(dir / name, std::vector<std::uint8_t>(151 * 20, '@'), '@', true));
    for (const char* name : {"k1.bcr", "k1.brs", "k1.bin"})
        keep(overwriteExisting(dir / name, std::vector<std::uint8_t>(256 * 20, '@'), '@', true));
    const int zeros[] = {0, 0};
    for (const char* name : {"k2.txt", "k2.bin"})
        keep(overwriteExisting(dir / name, toBytes(textNumberLine(zeros)), ' ', false));
    // The blank parameter record goes over k3.bin whenever it holds data, not only when a
    // k3.txt does: otherwise the slot parameters would stay readable until deletion.
    const auto blank = ParameterRecord::blank().write();
    for (const char* name : {"k3.txt", "k3.bin"})
        keep(overwriteExisting(dir / name, blank, '\0', true));
    for (const char* name : {"k4.txt", "k4.bin"})
        keep(overwriteExisting(dir / name, xLines(), 'x', true));
    for (const char* name : {"k5.txt", "k5.bin", "k6.dat"})
        keep(overwriteExisting(dir / name, xLines(), 'x', false));
    return first;
}

Status deleteWorkingFiles(const fs::path& dir)
{
    Status first;
    for (const char* name : cleanUpNames()) {
        const fs::path path = dir / name;
        if (::unlink(path.c_str()) != 0 && errno != ENOENT && first.ok())
            first = ioFailure(ErrorKind::Io, path, "cannot delete", errno);
    }
    return first;
}

}  // namespace zephra::crypto
