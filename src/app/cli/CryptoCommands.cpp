#include "app/cli/CliCommon.h"

namespace zephra::cli {

bool isCryptoCommand(const QString&) { return false; }
int runCryptoCommand(const GlobalOptions&, const QString& command, const QStringList&)
{
    return fail(QStringLiteral("%1 is not available yet").arg(command));
}

}  // namespace zephra::cli
