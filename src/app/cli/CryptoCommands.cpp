// The cipher commands of zephraftp-cli:
//   keyspace KEY DIR                      write the eight keyspace working files for KEY into DIR
//   encrypt --key KEY SOURCE DEST         encrypt SOURCE into DEST
//   decrypt --key KEY SOURCE DEST         decrypt SOURCE into DEST
// Instead of --key, --key-name NAME [--home DIR] takes the key of that name from the key store
// of the program's data directory (DIR, or the one the window uses).
// encrypt and decrypt build the keyspace in a private temporary directory and wipe it again,
// whatever happens. DEST is replaced only when the whole operation succeeded.
#include "app/cli/CliCommon.h"

#include "crypto/Engine.h"
#include "keys/AppDir.h"
#include "keys/KeyStore.h"

#include <QDir>
#include <QFile>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <sys/stat.h>
#include <unistd.h>

namespace zephra::cli {

namespace {

namespace crypto = zephra::crypto;

volatile std::sig_atomic_t g_interrupted = 0;

void onSignal(int) { g_interrupted = 1; }

std::filesystem::path toPath(const QString& s) { return std::filesystem::path(QFile::encodeName(s).toStdString()); }

QString fromStatus(const crypto::Status& s) { return QString::fromStdString(s.message); }

// Ctrl-C or a termination request cancels the operation through its progress callback, so
// the temporary keyspace is still wiped.
class InterruptGuard {
public:
    InterruptGuard()
    {
        struct sigaction sa {};
        sa.sa_handler = onSignal;
        sigemptyset(&sa.sa_mask);
        sigaction(SIGINT, &sa, &m_oldInt);
        sigaction(SIGTERM, &sa, &m_oldTerm);
    }
    ~InterruptGuard()
    {
        sigaction(SIGINT, &m_oldInt, nullptr);
        sigaction(SIGTERM, &m_oldTerm, nullptr);
    }

private:
    struct sigaction m_oldInt {};
    struct sigaction m_oldTerm {};
};

// A directory only this user can enter, removed with its content when done.
class PrivateDir {
public:
    PrivateDir()
    {
        QByteArray pattern = QFile::encodeName(QDir::tempPath() + QStringLiteral("/zephraftp-keyspace-XXXXXX"));
        if (::mkdtemp(pattern.data()))
            m_path = pattern.toStdString();
    }
    ~PrivateDir()
    {
        if (!m_path.empty()) {
            std::error_code ec;
            std::filesystem::remove_all(m_path, ec);
        }
    }
    bool ok() const { return !m_path.empty(); }
    const std::filesystem::path& path() const { return m_path; }

private:
    std::filesystem::path m_path;
};

int runKeyspace(const QStringList& args)
{
    if (args.size() != 2)
        return fail(QStringLiteral("usage: keyspace KEY DIR"));
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

int runFileCommand(const QString& command, const QStringList& args)
{
    QString key;
    bool haveKey = false;
    QString keyName;
    QString home;
    bool haveKeyName = false;
    QStringList paths;
    for (int i = 0; i < args.size(); ++i) {
        const QString& a = args[i];
        if (a == QLatin1String("--key")) {
            if (++i >= args.size())
                return fail(QStringLiteral("--key needs a key"));
            key = args[i];
            haveKey = true;
        } else if (a == QLatin1String("--key-name") || a == QLatin1String("--home")) {
            if (++i >= args.size())
                return fail(QStringLiteral("%1 needs a value").arg(a));
            if (a == QLatin1String("--home")) {
                home = args[i];
            } else {
                keyName = args[i];
                haveKeyName = true;
            }
        } else if (a == QLatin1String("--")) {
            paths += args.mid(i + 1);
            break;
        } else if (a.startsWith(QLatin1String("--"))) {
            return fail(QStringLiteral("unknown option %1").arg(a));
        } else {
            paths += a;
        }
    }
    if (haveKey && haveKeyName)
        return fail(QStringLiteral("give either --key or --key-name, not both"));
    if (haveKeyName) {
        QString error;
        const std::optional<QString> appDir = keys::resolveAppDir(home, &error);
        if (!appDir)
            return fail(error);
        const std::optional<QString> stored = keys::findKeyByName(*appDir, keyName);
        if (!stored)
            return fail(QStringLiteral("no key named \"%1\" in the key store of %2").arg(keyName, *appDir));
        key = *stored;
        haveKey = true;
    }
    if (!haveKey)
        return fail(QStringLiteral("%1 needs --key KEY or --key-name NAME").arg(command));
    if (paths.size() != 2)
        return fail(QStringLiteral("usage: %1 --key KEY SOURCE DEST").arg(command));
    const std::string keyText = key.toStdString();
    if (const crypto::Status s = crypto::Engine::validateKey(keyText); !s.ok())
        return fail(fromStatus(s));

    const std::filesystem::path source = toPath(paths[0]);
    const std::filesystem::path dest = toPath(paths[1]);
    InterruptGuard interrupts;
    PrivateDir work;
    if (!work.ok())
        return fail(QStringLiteral("cannot create a private temporary directory in %1").arg(QDir::tempPath()));
    crypto::Engine engine(work.path());
    crypto::Status status = engine.createKeyspace(keyText);

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
    if (status.ok()) {
        status = command == QLatin1String("encrypt") ? engine.encryptFile(source, dest, progress)
                                                     : engine.decryptFile(source, dest, progress);
    }
    if (showProgress && shown >= 0 && shown < 100)
        std::fputc('\n', stderr);
    const crypto::Status wiped = engine.cleanUp();
    if (!status.ok())
        return fail(status.kind == crypto::ErrorKind::Cancelled ? QStringLiteral("interrupted; %1 left unchanged").arg(paths[1])
                                                                : fromStatus(status));
    if (!wiped.ok())
        return fail(fromStatus(wiped));
    return 0;
}

}  // namespace

bool isCryptoCommand(const QString& command)
{
    return command == QLatin1String("keyspace") || command == QLatin1String("encrypt") ||
           command == QLatin1String("decrypt");
}

int runCryptoCommand(const GlobalOptions&, const QString& command, const QStringList& args)
{
    if (command == QLatin1String("keyspace"))
        return runKeyspace(args);
    return runFileCommand(command, args);
}

}  // namespace zephra::cli
