#include "ftp/Result.h"

#include "ftp/ListingLimit.h"
#include "ftp/Reply.h"

namespace zephra::ftp {

Result makeError(ErrorKind kind, int replyCode, const QString& serverText)
{
    Result result{kind, replyCode, serverText, QString()};
    switch (kind) {
    case ErrorKind::None:
        break;
    case ErrorKind::Reply: {
        const ReplyRule rule = replyRule(replyCode);
        result.description = rule.reason.isEmpty() ? serverText.trimmed() : rule.reason;
        break;
    }
    case ErrorKind::TimeOut:
        result.description = QStringLiteral("The servers response has timed out.");
        break;
    case ErrorKind::ConnectFailed:
        result.description = QStringLiteral("Can't connect to the server: %1").arg(serverText);
        break;
    case ErrorKind::DataConnection:
        result.description = QStringLiteral("Can't open data connection with the server.");
        break;
    case ErrorKind::TransferAborted:
        result.description = QStringLiteral("Connection closed; transfer aborted.");
        break;
    case ErrorKind::ServerClosed:
        result.description = QStringLiteral("Disconnected...");
        break;
    case ErrorKind::ProtocolError:
        result.description = QStringLiteral("The server's reply can not be understood: %1").arg(serverText);
        break;
    case ErrorKind::LocalFile:
        result.description = serverText;
        break;
    case ErrorKind::Cancelled:
        result.description = QStringLiteral("The transfer was cancelled.");
        break;
    case ErrorKind::NotConnected:
        result.description = QStringLiteral("Not connected to a server.");
        break;
    case ErrorKind::Busy:
        result.description = QStringLiteral("Another command is still running.");
        break;
    case ErrorKind::InvalidName:
        result.description = QStringLiteral("A name with a line break can not be sent to the server.");
        break;
    case ErrorKind::Certificate:
        result.description =
            QStringLiteral("The server's certificate can not be verified: %1").arg(serverText);
        break;
    case ErrorKind::TlsRefused:
        result.description = QStringLiteral("The server does not offer FTP over TLS: %1").arg(serverText.trimmed());
        break;
    case ErrorKind::TlsFailed:
        result.description = QStringLiteral("The TLS connection failed: %1").arg(serverText.trimmed());
        break;
    case ErrorKind::ListingTooLarge:
        // serverText: the directory, when the server has confirmed one.
        result.description = listingTooLargeMessage(serverText.isEmpty() ? QStringLiteral("list the current directory")
                                                                          : QStringLiteral("list '%1'").arg(serverText));
        break;
    }
    return result;
}

}  // namespace zephra::ftp
