#pragma once
// Shared pieces of zephraftp-cli: global options and the command groups.

#include "crypto/Engine.h"
#include "ftp/Tls.h"

#include <QString>
#include <QStringList>

#include <memory>
#include <optional>
#include <string>

namespace zephra::ftp {
struct FtpUrl;
}

namespace zephra::cli {

// Options that stand before the command and apply to every command.
struct GlobalOptions {
    bool active = false;            // --active: PORT/EPRT data connections
    int timeoutMs = 20000;          // --timeout MS
    QString route = QStringLiteral("engine");  // --route engine|direct
    QString netrcFile;              // --netrc-file FILE: instead of ~/.netrc
    bool quiet = false;             // --quiet: no progress line
    bool verbose = false;           // -v, --verbose: the protocol log on standard error
    // --tls require|auto|off (auto: TLS when the server offers it, else plain with a warning),
    // --cacert FILE, --pin-sha256 FINGERPRINT (any number); ftps:// adds implicit TLS per address.
    ftp::TlsOptions tls;
};

// The exit statuses, each listed in --help and the man page, so a script can tell why a run failed.
enum class Exit : int {
    Success = 0,
    Failure = 1,      // anything not below: a wrong key, a damaged cipher file, a protocol fault
    Usage = 2,        // the command line is wrong
    LocalFile = 3,    // a local file could not be read or written (missing, no permission, disk full)
    Connection = 4,   // the server could not be reached: connection refused, no such host, timed out
    Login = 5,        // the server refused the user name or the password
    Refused = 6,      // the server refused the command: no such file, no permission
    Broken = 7,       // the transfer or the connection broke off, or stalled past --timeout
    Tls = 8,          // TLS: the server's certificate was not trusted, the server refused TLS under
                      // --tls require, or the handshake failed
    Interrupted = 130,  // Ctrl-C or a termination request stopped the run
};

// Prints one line "zephraftp-cli: <message>" on stderr and returns status.
int fail(const QString& message, Exit status = Exit::Failure);
inline int usageError(const QString& message) { return fail(message, Exit::Usage); }

// One line on stderr: what can be seen by other users in the process list, and what to use instead.
void warnVisibleSecret(const QString& what, const QString& instead);

// Completes the login of an address without a password in it: from ~/.netrc (or
// options.netrcFile; a "machine" entry may also name the user of an address that names none),
// else from the environment variable ZEPHRA_PASSWORD, else, on a terminal, from a prompt
// without echo. A password written in the address is used as it is, with a warning. False with
// error only when the file named by --netrc-file cannot be read.
bool completeLogin(const QString& urlText, ftp::FtpUrl* url, const GlobalOptions& options, QString* error);

// Where the key of a cipher command comes from: --key-name NAME [--home DIR] (the key store),
// --key-file FILE (its first line), --key-stdin (one line of standard input), or --key KEY (works,
// with a warning: the command line is visible to other users).
struct KeyOptions {
    QString key;
    QString keyName;
    QString home;
    QString keyFile;
    bool haveKey = false;
    bool haveKeyName = false;
    bool haveKeyFile = false;
    bool keyStdin = false;
    bool given() const { return haveKey || haveKeyName || haveKeyFile || keyStdin; }
};

// Takes --key, --key-name, --key-file, --key-stdin and --home (with their values) out of args, up to a "--"; the other
// arguments stay in order. False with error on an option without its value.
bool takeKeyOptions(QStringList* args, KeyOptions* options, QString* error);
// The key the options name, checked: from --key, or from the key store of the data directory.
// std::nullopt with error when there is none or it cannot make a keyspace.
// On failure *status says why: Usage (no key option, or more than one), LocalFile (a key file
// or standard input that cannot be read), Failure (no such key name, not a valid key).
std::optional<std::string> resolveKey(const KeyOptions& options, const QString& command, QString* error,
                                      Exit* status = nullptr);
// The cipher of key, built in memory only: no keyspace file is written.
std::unique_ptr<crypto::Cipher> makeCipher(const std::string& key, QString* error);

// While one lives, Ctrl-C and termination requests only set a flag (interrupted()), so the
// running operation can stop and leave nothing half-done behind.
class InterruptGuard {
public:
    InterruptGuard();
    ~InterruptGuard();
    InterruptGuard(const InterruptGuard&) = delete;
    InterruptGuard& operator=(const InterruptGuard&) = delete;

private:
    struct Saved;
    std::unique_ptr<Saved> m_saved;
};
bool interrupted();

// Each group answers whether it owns a command and runs it; args follow the command word.
bool isCryptoCommand(const QString& command);
int runCryptoCommand(const GlobalOptions& options, const QString& command, const QStringList& args);

bool isFtpCommand(const QString& command);
int runFtpCommand(const GlobalOptions& options, const QString& command, const QStringList& args);

}  // namespace zephra::cli
