#pragma once
// Shared pieces of zephraftp-cli: global options and the command groups.

#include <QString>
#include <QStringList>

namespace zephra::cli {

// Options that stand before the command and apply to every command.
struct GlobalOptions {
    bool active = false;            // --active: PORT/EPRT data connections
    int timeoutMs = 20000;          // --timeout MS
    QString route = QStringLiteral("engine");  // --route engine|direct
};

// Prints one line "zephraftp-cli: <message>" on stderr and returns the failure status.
int fail(const QString& message);

// Each group answers whether it owns a command and runs it; args follow the command word.
bool isCryptoCommand(const QString& command);
int runCryptoCommand(const GlobalOptions& options, const QString& command, const QStringList& args);

bool isFtpCommand(const QString& command);
int runFtpCommand(const GlobalOptions& options, const QString& command, const QStringList& args);

}  // namespace zephra::cli
