// Cipher throughput: encrypt and decrypt of one 256 MiB buffer per kernel on 1 and 2 threads,
// the sealed format (AES-256-GCM chunks) on the same buffer on 1 and 2 threads, memcpy of the
// same buffer as the limit, and the literal machine on a small buffer for scale. Then the
// sealed format file to file in /dev/shm through sealFile/openFile (the Argon2id derivation
// is not in these figures; sealed_kdf times it on its own).
// MB/s = 10^6 bytes per second of wall time; MB/s/core = 10^6 bytes per second of CPU time
// used by the whole process (all its threads), which stays meaningful on a busy machine.
#include "LiteralMachine.h"
#include "crypto/Engine.h"
#include "crypto/sealed/ChunkCipher.h"
#include "crypto/sealed/SealedFiles.h"

#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace zephra::crypto;

constexpr std::size_t kBufferSize = std::size_t{256} << 20;
constexpr char kKey[] = "123456789";

struct Fixture {
    std::filesystem::path dir;
    std::unique_ptr<Engine> engine;
    std::vector<std::uint8_t> in, out;

    Fixture()
    {
        std::string pattern = (std::filesystem::temp_directory_path() / "zephra-bench-XXXXXX").string();
        if (!::mkdtemp(pattern.data()))
            std::abort();
        dir = pattern;
        engine = std::make_unique<Engine>(dir);
        if (!engine->createKeyspace(kKey).ok())
            std::abort();
        in.resize(kBufferSize);
        out.resize(kBufferSize);
        std::mt19937_64 rng(1);
        for (std::size_t i = 0; i < kBufferSize; i += 8) {
            const std::uint64_t v = rng();
            std::memcpy(&in[i], &v, 8);
        }
        std::memset(out.data(), 0, out.size());  // touch every page before timing
    }
    ~Fixture()
    {
        (void)engine->cleanUp();
        std::filesystem::remove_all(dir);
    }
};

Fixture& fixture()
{
    static Fixture f;
    return f;
}

double processCpuSeconds()
{
    timespec t{};
    ::clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

void setRate(benchmark::State& state, std::size_t bytes, double cpuSeconds)
{
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * bytes));
    state.counters["MB/s"] = benchmark::Counter(static_cast<double>(bytes) / 1e6, benchmark::Counter::kIsIterationInvariantRate);
    state.counters["MB/s/core"] = static_cast<double>(state.iterations()) * static_cast<double>(bytes) / 1e6 / cpuSeconds;
}

// Splits [0, n) into `threads` parts; each thread processes its own part.
template <class Fn>
void onThreads(int threads, std::size_t n, Fn fn)
{
    std::vector<std::thread> pool;
    const std::size_t part = n / static_cast<std::size_t>(threads);
    for (int t = 1; t < threads; ++t)
        pool.emplace_back(fn, static_cast<std::size_t>(t) * part, t == threads - 1 ? n - static_cast<std::size_t>(t) * part : part);
    fn(0, threads == 1 ? n : part);
    for (auto& th : pool)
        th.join();
}

void memcpyBench(benchmark::State& state)
{
    Fixture& f = fixture();
    const int threads = static_cast<int>(state.range(0));
    const double cpu0 = processCpuSeconds();
    for (auto _ : state) {
        onThreads(threads, kBufferSize, [&](std::size_t at, std::size_t n) { std::memcpy(&f.out[at], &f.in[at], n); });
        benchmark::ClobberMemory();
    }
    setRate(state, kBufferSize, processCpuSeconds() - cpu0);
}

void cipherBench(benchmark::State& state, std::string kernel, Direction dir)
{
    Fixture& f = fixture();
    std::unique_ptr<Cipher> cipher;
    if (const Status s = f.engine->loadCipher(cipher, kernel); !s.ok()) {
        state.SkipWithError(s.message.c_str());
        return;
    }
    const int threads = static_cast<int>(state.range(0));
    const double cpu0 = processCpuSeconds();
    for (auto _ : state) {
        onThreads(threads, kBufferSize, [&](std::size_t at, std::size_t n) { cipher->process(dir, at, &f.in[at], &f.out[at], n); });
        benchmark::ClobberMemory();
    }
    setRate(state, kBufferSize, processCpuSeconds() - cpu0);
}

void literalBench(benchmark::State& state, Direction dir)
{
    literal::Keyspace ks;
    if (!literal::createKeyspace(kKey, ks)) {
        state.SkipWithError("literal keyspace failed");
        return;
    }
    const std::string data(reinterpret_cast<const char*>(fixture().in.data()), std::size_t{1} << 16);
    const double cpu0 = processCpuSeconds();
    for (auto _ : state)
        benchmark::DoNotOptimize(dir == Direction::Encrypt ? literal::encrypt(ks, data) : literal::decrypt(ks, data));
    setRate(state, data.size(), processCpuSeconds() - cpu0);
}

namespace sealed = zephra::crypto::sealed;

// One master key (cheap parameters: the chunk cipher does not depend on them) and one file key.
struct SealedFixture {
    std::unique_ptr<sealed::MasterKey> master;
    std::unique_ptr<sealed::FileKey> key;
    std::vector<std::uint8_t> file;  // the sealed image of Fixture::in
    SealedFixture()
    {
        if (!sealed::MasterKey::derive(kKey, {1, 1024, 1}, master).ok() || !sealed::FileKey::create(*master, key).ok())
            std::abort();
        file.resize(sealed::sealedSize(kBufferSize));
        std::memset(file.data(), 0, file.size());
    }
};

SealedFixture& sealedFixture()
{
    static SealedFixture f;
    return f;
}

// Seals (or opens) the chunks of [at, at + n) of the buffer; at and n are whole chunks except
// at the end, where the last (here empty) chunk follows.
void sealRange(Direction dir, std::size_t at, std::size_t n)
{
    Fixture& f = fixture();
    SealedFixture& s = sealedFixture();
    const std::uint64_t lastChunk = sealed::chunkCount(kBufferSize) - 1;
    std::uint64_t first = at / sealed::kChunkSize;
    std::uint64_t end = (at + n) / sealed::kChunkSize;
    if (at + n == kBufferSize)
        end = lastChunk + 1;
    if (dir == Direction::Encrypt) {
        sealed::ChunkSealer sealer(*s.key);
        for (std::uint64_t c = first; c < end; ++c) {
            const std::size_t len = c == lastChunk ? kBufferSize - c * sealed::kChunkSize : sealed::kChunkSize;
            if (!sealer.seal(c, c == lastChunk, &f.in[c * sealed::kChunkSize], len, &s.file[sealed::sealedOffsetOfChunk(c)]))
                std::abort();
        }
    } else {
        sealed::ChunkOpener opener(*s.key);
        for (std::uint64_t c = first; c < end; ++c) {
            const std::size_t len = c == lastChunk ? kBufferSize - c * sealed::kChunkSize : sealed::kChunkSize;
            if (!opener.open(c, c == lastChunk, &s.file[sealed::sealedOffsetOfChunk(c)], len + sealed::kTagSize,
                             &f.out[c * sealed::kChunkSize]))
                std::abort();
        }
    }
}

void sealedBench(benchmark::State& state, Direction dir)
{
    const int threads = static_cast<int>(state.range(0));
    if (dir == Direction::Decrypt)
        onThreads(1, kBufferSize, [](std::size_t at, std::size_t n) { sealRange(Direction::Encrypt, at, n); });
    const double cpu0 = processCpuSeconds();
    for (auto _ : state) {
        onThreads(threads, kBufferSize, [&](std::size_t at, std::size_t n) { sealRange(dir, at, n); });
        benchmark::ClobberMemory();
    }
    setRate(state, kBufferSize, processCpuSeconds() - cpu0);
    if (dir == Direction::Decrypt && std::memcmp(fixture().in.data(), fixture().out.data(), kBufferSize) != 0)
        state.SkipWithError("opened bytes differ");
}

// File to file in /dev/shm (memory-backed, so the figure is the program's, not a disk's).
void sealedFileBench(benchmark::State& state, Direction dir)
{
    const std::filesystem::path dir0 = std::filesystem::exists("/dev/shm") ? "/dev/shm" : std::filesystem::temp_directory_path();
    const std::filesystem::path plain = dir0 / "zephra-bench-plain", sealedPath = dir0 / "zephra-bench-sealed",
                                back = dir0 / "zephra-bench-back";
    {
        std::FILE* out = std::fopen(plain.c_str(), "wb");
        if (!out || std::fwrite(fixture().in.data(), 1, kBufferSize, out) != kBufferSize || std::fclose(out) != 0) {
            state.SkipWithError("cannot write the plaintext file");
            return;
        }
    }
    const sealed::MasterKey& master = *sealedFixture().master;
    if (!sealed::sealFile(master, plain, sealedPath).ok()) {
        state.SkipWithError("sealFile failed");
        return;
    }
    const double cpu0 = processCpuSeconds();
    for (auto _ : state) {
        const Status s = dir == Direction::Encrypt ? sealed::sealFile(master, plain, sealedPath)
                                                   : sealed::openFile(master, sealedPath, back);
        if (!s.ok())
            state.SkipWithError(s.message.c_str());
    }
    setRate(state, kBufferSize, processCpuSeconds() - cpu0);
    std::error_code ec;
    for (const auto& p : {plain, sealedPath, back})
        std::filesystem::remove(p, ec);
}

void sealedKdfBench(benchmark::State& state)
{
    for (auto _ : state) {
        std::unique_ptr<sealed::MasterKey> key;
        if (!sealed::MasterKey::derive(kKey, sealed::kDefaultKdf, key).ok())
            state.SkipWithError("derive failed");
    }
}

}  // namespace

int main(int argc, char** argv)
{
    benchmark::Initialize(&argc, argv);
    benchmark::RegisterBenchmark("memcpy_256MiB", memcpyBench)->Arg(1)->Arg(2)->ArgName("threads")->UseRealTime()->Unit(benchmark::kMillisecond);
    for (const std::string& kernel : Engine::kernelNames()) {
        for (Direction dir : {Direction::Encrypt, Direction::Decrypt}) {
            const std::string name = std::string(dir == Direction::Encrypt ? "encrypt" : "decrypt") + "_256MiB/" + kernel;
            benchmark::RegisterBenchmark(name.c_str(), cipherBench, kernel, dir)
                ->Arg(1)->Arg(2)->ArgName("threads")->UseRealTime()->Unit(benchmark::kMillisecond);
        }
    }
    for (Direction dir : {Direction::Encrypt, Direction::Decrypt}) {
        const std::string name = std::string(dir == Direction::Encrypt ? "encrypt" : "decrypt") + "_256MiB/sealed";
        benchmark::RegisterBenchmark(name.c_str(), sealedBench, dir)
            ->Arg(1)->Arg(2)->ArgName("threads")->UseRealTime()->Unit(benchmark::kMillisecond);
    }
    benchmark::RegisterBenchmark("encrypt_file_256MiB/sealed", sealedFileBench, Direction::Encrypt)->UseRealTime()->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark("decrypt_file_256MiB/sealed", sealedFileBench, Direction::Decrypt)->UseRealTime()->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark("sealed_kdf/argon2id_t3_128MiB", sealedKdfBench)->UseRealTime()->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark("encrypt_64KiB/literal", literalBench, Direction::Encrypt)->UseRealTime()->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark("decrypt_64KiB/literal", literalBench, Direction::Decrypt)->UseRealTime()->Unit(benchmark::kMillisecond);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
