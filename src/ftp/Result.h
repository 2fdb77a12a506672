#pragma once
// The outcome of one engine operation: a value, reported once through Connection::finished.

#include <QMetaType>
#include <QString>

namespace zephra::ftp {

enum class ErrorKind {
    None,
    Reply,             // the server answered with an error reply
    TimeOut,           // no reply, or no progress on the data connection, for TimeOut ms
    ConnectFailed,     // the control connection could not be opened
    DataConnection,    // the data connection could not be opened or the passive reply is unusable
    TransferAborted,   // the data connection ended before the transfer was complete
    ServerClosed,      // the server closed the control connection
    ProtocolError,     // the server broke the reply syntax (for example a line over 64 KiB)
    LocalFile,         // the local file could not be opened, read or written
    Cancelled,         // the caller cancelled the operation
    NotConnected,      // the operation needs a logged-in session
    Busy,              // another operation is still running
    InvalidName,       // a name holds CR or LF and would inject commands
    ListingTooLarge,   // the listing passed kMaxListingBytes (ListingLimit.h) and was broken off
    Certificate,       // the server's certificate did not verify and is not trusted
                       // (Connection::peerCertificate() tells which); nothing was sent after AUTH
    TlsRefused,        // TLS was required and the server refused AUTH TLS (or PROT P)
    TlsFailed,         // a TLS handshake failed, on the control or on a data connection
                       // (serverText: the server's reply for a data connection, when it gave one)
};

struct [[nodiscard]] Result {
    ErrorKind kind = ErrorKind::None;
    int replyCode = 0;     // the server's reply code when there is one
    QString serverText;    // the server's reply line, or the system's reason for local failures
    QString description;   // the text users see (the reply table's reason for server replies)

    bool ok() const { return kind == ErrorKind::None; }
    // Errors of the engine carry this source, whatever their kind.
    static QString source() { return QStringLiteral("FTP Command"); }
};

// Every user-facing text of the engine is built here.
Result makeError(ErrorKind kind, int replyCode = 0, const QString& serverText = QString());

}  // namespace zephra::ftp

Q_DECLARE_METATYPE(zephra::ftp::Result)
