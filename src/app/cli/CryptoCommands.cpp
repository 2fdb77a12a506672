// The cipher commands of zephraftp-cli:
//   keyspace KEY DIR                      write the eight keyspace working files for KEY into DIR
//   encrypt [--format compatible|sealed] --key KEY SOURCE DEST
//                                         encrypt SOURCE into DEST (compatible: the rotor format,
//                                         byte for byte as earlier versions; sealed: authenticated)
//   decrypt --key KEY SOURCE DEST         decrypt SOURCE into DEST, in the format its header names
//   inspect FILE                          the format of FILE and its header fields, without a key
// Instead of --key, --key-name NAME [--home DIR] takes the key of that name from the key store
// of the program's data directory (DIR, or the one the window uses).
// encrypt and decrypt build the cipher in memory and write no keyspace file at all (a killed
// run leaves nothing equivalent to the key on disk). DEST is replaced only when the whole
// operation succeeded; a sealed file with a wrong key, damage or a missing end replaces nothing.
#include "app/cli/CliCommon.h"

#include "crypto/Engine.h"
#include "crypto/FileOps.h"
#include "crypto/PosixIo.h"
#include "crypto/sealed/SealedFiles.h"
#include "keys/AppDir.h"
#include "keys/KeyStore.h"

#include <QDir>
#include <QFile>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace zephra::cli {

namespace {

namespace crypto = zephra::crypto;
namespace sealed = zephra::crypto::sealed;

volatile std::sig_atomic_t g_interrupted = 0;

void onSignal(int) { g_interrupted = 1; }

std::filesystem::path toPath(const QString& s) { return std::filesystem::path(QFile::encodeName(s).toStdString()); }

QString fromStatus(const crypto::Status& s) { return QString::fromStdString(s.message); }

// A file the cipher commands cannot read or write is a local file error; a wrong key or a
// damaged cipher file is the general failure.
Exit exitFor(crypto::ErrorKind kind)
{
    switch (kind) {
    case crypto::ErrorKind::SourceUnreadable:
    case crypto::ErrorKind::DestinationUnwritable:
    case crypto::ErrorKind::SameFile:
    case crypto::ErrorKind::Io: return Exit::LocalFile;
    case crypto::ErrorKind::Cancelled: return Exit::Interrupted;
    default: return Exit::Failure;
    }
}

int runKeyspace(const QStringList& args)
{
    if (args.size() != 2)
        return usageError(QStringLiteral("usage: keyspace KEY DIR"));
    const std::string key = args[0].toStdString();
    if (const crypto::Status s = crypto::Engine::validateKey(key); !s.ok())
        return fail(fromStatus(s));
    const std::filesystem::path dir = toPath(args[1]);
    std::error_code ec;
    if (!std::filesystem::is_directory(dir, ec) && ::mkdir(dir.c_str(), 0700) != 0)
        return fail(QStringLiteral("cannot create directory %1").arg(args[1]));
    crypto::Engine engine(dir);
    if (const crypto::Status s = engine.createKeyspace(key); !s.ok())
        return fail(fromStatus(s));
    return 0;
}

enum class Format { Compatible, Sealed };

bool isSealedFormatError(crypto::ErrorKind kind)
{
    using K = crypto::ErrorKind;
    return kind == K::NotSealed || kind == K::WrongKey || kind == K::Damaged || kind == K::Truncated ||
           kind == K::Unsupported || kind == K::KeyParameters;
}

crypto::Status runCompatible(crypto::Direction direction, const std::string& keyText, const std::filesystem::path& source,
                             const std::filesystem::path& dest, const crypto::Progress& progress)
{
    std::unique_ptr<crypto::Cipher> cipher;
    crypto::Status status = crypto::Engine::makeCipher(keyText, cipher);
    if (!status.ok())
        return status;
    crypto::BlockBuffers buffers;
    return crypto::processFile(*cipher, direction, source, dest, progress, buffers);
}

// The command derives the master key for one file, so it does so on a thread of its own while
// the files are opened and the destination's space is reserved.
template <class Job>
crypto::Status deriveAndRun(Job& job, const std::string& keyText, const sealed::KdfParams& params,
                            const crypto::Progress& progress)
{
    std::unique_ptr<sealed::MasterKey> master;
    crypto::Status derived;
    std::thread kdf([&] { derived = sealed::MasterKey::derive(keyText, params, master); });
    const crypto::Status prepared = job.prepare();
    kdf.join();
    if (!prepared.ok())
        return prepared;
    if (!derived.ok())
        return derived;
    return job.run(*master, progress);
}

crypto::Status runSealedEncrypt(const std::string& keyText, const std::filesystem::path& source,
                                const std::filesystem::path& dest, const crypto::Progress& progress)
{
    sealed::SealFileJob job(source, dest);
    return deriveAndRun(job, keyText, sealed::kDefaultKdf, progress);
}

// The format comes from the file's first bytes: a sealed header, or none (the compatible format).
crypto::Status runDecrypt(const std::string& keyText, const std::filesystem::path& source,
                          const std::filesystem::path& dest, const crypto::Progress& progress)
{
    std::vector<std::uint8_t> first;
    if (crypto::Status s = sealed::readFirstBytes(source, first); !s.ok())
        return s;
    if (!sealed::isSealed(first))
        return runCompatible(crypto::Direction::Decrypt, keyText, source, dest, progress);
    sealed::Header header;
    if (crypto::Status s = sealed::Header::read(first, header); !s.ok())
        return s;
    // The key is stretched with the costs the file names (bounded by Header::read).
    sealed::OpenFileJob job(source, dest);
    return deriveAndRun(job, keyText, header.kdf, progress);
}

int runFileCommand(const QString& command, const QStringList& arguments)
{
    QStringList args = arguments;
    KeyOptions keyOptions;
    QString error;
    if (!takeKeyOptions(&args, &keyOptions, &error))
        return usageError(error);
    const bool encrypt = command == QLatin1String("encrypt");
    Format format = Format::Compatible;
    QStringList paths;
    for (int i = 0; i < args.size(); ++i) {
        const QString& a = args[i];
        if (a == QLatin1String("--")) {
            paths += args.mid(i + 1);
            break;
        }
        if (a == QLatin1String("--format") && encrypt) {
            const QString value = i + 1 < args.size() ? args[++i] : QString();
            if (value == QLatin1String("compatible"))
                format = Format::Compatible;
            else if (value == QLatin1String("sealed"))
                format = Format::Sealed;
            else
                return usageError(QStringLiteral("--format must be compatible or sealed"));
            continue;
        }
        if (a == QLatin1String("--format"))
            return usageError(QStringLiteral("decrypt takes the format from the file; it has no --format"));
        if (a.startsWith(QLatin1String("--")))
            return usageError(QStringLiteral("unknown option %1").arg(a));
        paths += a;
    }
    if (!keyOptions.given())
        return usageError(QStringLiteral("%1 needs --key KEY or --key-name NAME").arg(command));
    Exit why = Exit::Failure;
    const std::optional<std::string> key = resolveKey(keyOptions, command, &error, &why);
    if (!key)
        return fail(error, why);
    if (paths.size() != 2)
        return usageError(encrypt ? QStringLiteral("usage: encrypt [--format compatible|sealed] --key KEY SOURCE DEST")
                            : QStringLiteral("usage: decrypt --key KEY SOURCE DEST"));
    const std::string& keyText = *key;

    const std::filesystem::path source = toPath(paths[0]);
    const std::filesystem::path dest = toPath(paths[1]);
    InterruptGuard interrupts;

    // A progress line only for large files and only when someone watches stderr.
    const bool showProgress = ::isatty(STDERR_FILENO) == 1;
    const QByteArray name = QFile::encodeName(paths[0]);
    int shown = -1;
    const crypto::Progress progress = [&](std::uint64_t done, std::uint64_t total) {
        if (g_interrupted)
            return false;
        if (showProgress && total >= (std::uint64_t{64} << 20)) {
            const int percent = static_cast<int>(done * 100 / total);
            if (percent != shown) {
                shown = percent;
                std::fprintf(stderr, "\r%s %s: %3d%%", qPrintable(command), name.constData(), percent);
                if (done == total)
                    std::fputc('\n', stderr);
                std::fflush(stderr);
            }
        }
        return true;
    };
    // What an earlier, killed run left beside the destination goes first.
    (void)crypto::removeStaleTemporaries(dest.has_parent_path() ? dest.parent_path().string() : std::string("."));
    crypto::Status status;
    if (!encrypt)
        status = runDecrypt(keyText, source, dest, progress);
    else if (format == Format::Sealed)
        status = runSealedEncrypt(keyText, source, dest, progress);
    else
        status = runCompatible(crypto::Direction::Encrypt, keyText, source, dest, progress);
    if (showProgress && shown >= 0 && shown < 100)
        std::fputc('\n', stderr);
    if (status.kind == crypto::ErrorKind::Cancelled)
        return fail(QStringLiteral("interrupted; %1 left unchanged").arg(paths[1]), Exit::Interrupted);
    if (isSealedFormatError(status.kind))
        return fail(QStringLiteral("%1: %2").arg(paths[0], fromStatus(status)));
    if (!status.ok())
        return fail(fromStatus(status), exitFor(status.kind));
    return 0;
}

QString hex(const std::uint8_t* p, std::size_t n) { return QString::fromLatin1(QByteArray(reinterpret_cast<const char*>(p), static_cast<qsizetype>(n)).toHex()); }

// Prints what can be told without the key; fails when the header or the size is not sound.
int runInspect(const QStringList& args)
{
    if (args.size() != 1)
        return usageError(QStringLiteral("usage: inspect FILE"));
    sealed::Inspection in;
    if (const crypto::Status s = sealed::inspectFile(toPath(args[0]), in); !s.ok())
        return fail(fromStatus(s));
    std::printf("file: %s\nsize: %llu bytes\n", qUtf8Printable(args[0]), static_cast<unsigned long long>(in.size));
    if (!in.sealed) {
        std::printf("format: compatible (no header; its content cannot be checked)\n");
        return 0;
    }
    std::printf("format: sealed\n");
    if (!in.header.ok()) {
        std::fflush(stdout);
        return fail(QStringLiteral("%1: %2").arg(args[0], fromStatus(in.header)));
    }
    const sealed::Header& h = in.fields;
    std::printf("version: %u\ncipher: AES-256-GCM, %zu-byte chunks\n", unsigned{sealed::kVersion}, sealed::kChunkSize);
    std::printf("key derivation: Argon2id, %u iterations, %u KiB, %u lane(s)\n", h.kdf.iterations, h.kdf.memoryKiB,
                h.kdf.lanes);
    std::printf("salt: %s\nkey check: %s\n", qPrintable(hex(h.salt.data(), h.salt.size())),
                qPrintable(hex(h.keyCheck.data(), h.keyCheck.size())));
    if (!in.layout.ok()) {
        std::fflush(stdout);
        return fail(QStringLiteral("%1: %2").arg(args[0], fromStatus(in.layout)));
    }
    std::printf("plaintext: %llu bytes in %llu chunks (their authenticity needs the key)\n",
                static_cast<unsigned long long>(in.plainSize), static_cast<unsigned long long>(in.chunks));
    return 0;
}

}  // namespace

struct InterruptGuard::Saved {
    struct sigaction oldInt {};
    struct sigaction oldTerm {};
};

InterruptGuard::InterruptGuard()
    : m_saved(std::make_unique<Saved>())
{
    g_interrupted = 0;
    struct sigaction sa {};
    sa.sa_handler = onSignal;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGINT, &sa, &m_saved->oldInt);
    sigaction(SIGTERM, &sa, &m_saved->oldTerm);
}

InterruptGuard::~InterruptGuard()
{
    sigaction(SIGINT, &m_saved->oldInt, nullptr);
    sigaction(SIGTERM, &m_saved->oldTerm, nullptr);
}

bool interrupted() { return g_interrupted != 0; }

bool takeKeyOptions(QStringList* args, KeyOptions* options, QString* error)
{
    static const QStringList withValue = {QStringLiteral("--key"), QStringLiteral("--key-name"),
                                          QStringLiteral("--key-file"), QStringLiteral("--home")};
    QStringList rest;
    for (int i = 0; i < args->size(); ++i) {
        const QString& a = args->at(i);
        if (a == QLatin1String("--")) {
            rest += args->mid(i);
            break;
        }
        if (a == QLatin1String("--key-stdin")) {
            options->keyStdin = true;
            continue;
        }
        if (!withValue.contains(a)) {
            rest += a;
            continue;
        }
        if (++i >= args->size()) {
            *error = a == QLatin1String("--key") ? QStringLiteral("--key needs a key") : QStringLiteral("%1 needs a value").arg(a);
            return false;
        }
        if (a == QLatin1String("--key")) {
            options->key = args->at(i);
            options->haveKey = true;
        } else if (a == QLatin1String("--key-name")) {
            options->keyName = args->at(i);
            options->haveKeyName = true;
        } else if (a == QLatin1String("--key-file")) {
            options->keyFile = args->at(i);
            options->haveKeyFile = true;
        } else {
            options->home = args->at(i);
        }
    }
    *args = rest;
    return true;
}

namespace {

// The first line of a key file or of standard input, without its line end and blanks.
std::optional<QString> firstLine(QFile& file, const QString& what, QString* error)
{
    const QByteArray line = file.readLine(4096);
    if (line.isEmpty() && file.error() != QFileDevice::NoError) {
        *error = QStringLiteral("cannot read %1: %2").arg(what, file.errorString());
        return std::nullopt;
    }
    return QString::fromUtf8(line).trimmed();
}

}  // namespace

std::optional<std::string> resolveKey(const KeyOptions& options, const QString& command, QString* error,
                                      Exit* status)
{
    Exit ignored;
    Exit& why = status ? *status : ignored;
    why = Exit::Usage;
    if (int(options.haveKey) + int(options.haveKeyName) + int(options.haveKeyFile) + int(options.keyStdin) > 1) {
        *error = QStringLiteral("give only one of --key, --key-name, --key-file and --key-stdin");
        return std::nullopt;
    }
    QString key = options.key;
    if (options.haveKey) {
        warnVisibleSecret(QStringLiteral("a key given with --key"), QStringLiteral("--key-name, --key-file or --key-stdin"));
    } else if (options.haveKeyName) {
        why = Exit::Failure;
        const std::optional<QString> appDir = keys::resolveAppDir(options.home, error);
        if (!appDir)
            return std::nullopt;
        const std::optional<QString> stored = keys::findKeyByName(*appDir, options.keyName);
        if (!stored) {
            *error = QStringLiteral("no key named \"%1\" in the key store of %2").arg(options.keyName, *appDir);
            return std::nullopt;
        }
        key = *stored;
    } else if (options.haveKeyFile) {
        why = Exit::LocalFile;
        QFile file(options.keyFile);
        if (!file.open(QIODevice::ReadOnly)) {
            *error = QStringLiteral("cannot read %1: %2").arg(options.keyFile, file.errorString());
            return std::nullopt;
        }
        const std::optional<QString> line = firstLine(file, options.keyFile, error);
        if (!line)
            return std::nullopt;
        key = *line;
    } else if (options.keyStdin) {
        why = Exit::LocalFile;
        QFile in;
        if (!in.open(stdin, QIODevice::ReadOnly)) {
            *error = QStringLiteral("cannot read the key from standard input");
            return std::nullopt;
        }
        const std::optional<QString> line = firstLine(in, QStringLiteral("standard input"), error);
        if (!line)
            return std::nullopt;
        key = *line;
    } else {
        *error = QStringLiteral("%1 needs --key-name NAME, --key-file FILE, --key-stdin or --key KEY").arg(command);
        return std::nullopt;
    }
    why = Exit::Failure;
    std::string text = key.toStdString();
    if (const crypto::Status s = crypto::Engine::validateKey(text); !s.ok()) {
        *error = fromStatus(s);
        return std::nullopt;
    }
    return text;
}

std::unique_ptr<crypto::Cipher> makeCipher(const std::string& key, QString* error)
{
    std::unique_ptr<crypto::Cipher> cipher;
    if (const crypto::Status status = crypto::Engine::makeCipher(key, cipher); !status.ok()) {
        *error = fromStatus(status);
        return nullptr;
    }
    return cipher;
}

bool isCryptoCommand(const QString& command)
{
    return command == QLatin1String("keyspace") || command == QLatin1String("encrypt") ||
           command == QLatin1String("decrypt") || command == QLatin1String("inspect");
}

int runCryptoCommand(const GlobalOptions&, const QString& command, const QStringList& args)
{
    if (command == QLatin1String("keyspace"))
        return runKeyspace(args);
    if (command == QLatin1String("inspect"))
        return runInspect(args);
    return runFileCommand(command, args);
}

}  // namespace zephra::cli
