// zephraftp-cli -v: the session's commands and replies on standard error, line by line as they
// happen, in the form the window's log pane shows.
#include "app/cli/FtpCommon.h"

#include "ftp/Connection.h"
#include "ftp/ProtocolLog.h"

#include <QTime>
#include <cstdio>

namespace zephra::cli::ftpcli {

namespace {

void printLine(const QString& line, bool sent)
{
    std::fprintf(stderr, "%s\n", qUtf8Printable(ftp::protocolLogLine(line, sent, QTime::currentTime())));
    std::fflush(stderr);
}

}  // namespace

void traceProtocol(ftp::Connection& connection, const GlobalOptions& options)
{
    if (options.verbose)
        QObject::connect(&connection, &ftp::Connection::protocolLine, &connection, &printLine);
}

void traceProtocol(ftp::direct::DirectWorker& worker, const GlobalOptions& options)
{
    // Printed on the worker's thread as libcurl goes: the order is the wire's, and nothing waits
    // for the main thread's event loop.
    if (options.verbose)
        QObject::connect(&worker, &ftp::direct::DirectWorker::protocolLine, &printLine);
}

}  // namespace zephra::cli::ftpcli
