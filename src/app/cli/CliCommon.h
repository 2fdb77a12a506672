#pragma once
// Shared pieces of zephraftp-cli: global options and the command groups.

#include "crypto/Engine.h"

#include <QString>
#include <QStringList>

#include <memory>
#include <optional>
#include <string>

namespace zephra::cli {

// Options that stand before the command and apply to every command.
struct GlobalOptions {
    bool active = false;            // --active: PORT/EPRT data connections
    int timeoutMs = 20000;          // --timeout MS
    QString route = QStringLiteral("engine");  // --route engine|direct
};

// Prints one line "zephraftp-cli: <message>" on stderr and returns the failure status.
int fail(const QString& message);

// --key KEY, or --key-name NAME [--home DIR]: where the key of a cipher command comes from.
struct KeyOptions {
    QString key;
    QString keyName;
    QString home;
    bool haveKey = false;
    bool haveKeyName = false;
    bool given() const { return haveKey || haveKeyName; }
};

// Takes --key, --key-name and --home (with their values) out of args, up to a "--"; the other
// arguments stay in order. False with error on an option without its value.
bool takeKeyOptions(QStringList* args, KeyOptions* options, QString* error);
// The key the options name, checked: from --key, or from the key store of the data directory.
// std::nullopt with error when there is none or it cannot make a keyspace.
std::optional<std::string> resolveKey(const KeyOptions& options, const QString& command, QString* error);
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
