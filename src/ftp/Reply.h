#pragma once
// FTP replies and the pure functions that judge them.
// Reading list: RFC 959 (commands, reply syntax, multi-line replies, 257 quoting), RFC 1123 4.1.2.6
// (PASV reply format is not fixed), RFC 2389 (FEAT), RFC 3659 (SIZE, MLST/MLSD, REST STREAM),
// RFC 2640 (UTF8), RFC 2577 (do not trust the PASV address).

#include <QByteArray>
#include <QByteArrayList>
#include <QHostAddress>
#include <QString>
#include <QStringList>
#include <optional>

namespace zephra::ftp {

// One complete reply: a single line, or every line of a multi-line reply ("nnn-" ... "nnn ").
struct Reply {
    int code = 0;
    QStringList lines;       // without line ends, decoded for the log and for texts
    QByteArrayList rawLines; // the same lines as the server's bytes (a PWD path keeps them)

    QString lastLine() const { return lines.isEmpty() ? QString() : lines.last(); }
    bool isPreliminary() const { return code >= 100 && code < 200; }
};

// One row of the reply table: whether the code is an error and the reason text the engine reports.
struct ReplyRule {
    bool known = false;
    bool error = false;
    QString reason;  // empty: the reply line itself is the reason
};

// Looks the code up in the reply table. Codes outside it are judged by their class
// (4xx and 5xx are errors) and report the server's own line.
ReplyRule replyRule(int code);

// The reason text of a reply as the engine reports it.
QString replyReason(const Reply& reply);

// Whether the reply counts as a failure of the command it answers.
bool isErrorReply(const Reply& reply);

// The port of a 227 reply: the six numbers "h1,h2,h3,h4,p1,p2" inside the last parentheses or,
// where the server gives none ("227 Entering Passive Mode 127,0,0,1,4,1", which RFC 1123 allows),
// the first such list after the code. The host numbers are checked but not returned: the data
// connection goes to the control connection's peer. Nothing when the list is missing, malformed
// or holds a number above 255.
std::optional<quint16> parsePassiveReply(QStringView line);

// The directory of a 257 reply to PWD: the text between the first quote and the next single
// quote, a doubled quote standing for one (257 "/a ""b""" is current: the directory /a "b"), as
// the server's bytes. Nothing when the reply holds no quoted name.
std::optional<QByteArray> parseDirectoryReply(QByteArrayView line);

// What a server offered in its FEAT reply, as named flags. Everything false when it offered
// nothing or does not know FEAT (old servers answer 500 or 502).
struct ServerFeatures {
    bool mlsd = false;        // "MLST ..." (RFC 3659 ties MLSD to it; some servers say "MLSD")
    bool size = false;        // "SIZE"
    bool utf8 = false;        // "UTF8": OPTS UTF8 ON is sent
    bool restStream = false;  // "REST STREAM"

    bool operator==(const ServerFeatures&) const = default;
};
ServerFeatures parseFeatures(const Reply& reply);

// The size in a 213 reply to SIZE ("213 1048576"), or -1.
qint64 parseSizeReply(QStringView line);

// The argument of a PORT command for an IPv4 address and port: "a,b,c,d,p1,p2".
// Empty for an address that is not IPv4.
QString portArgument(const QHostAddress& address, quint16 port);

// The announced size in a 150 reply such as "150 Opening BINARY mode data connection for f (1234 bytes).",
// or -1.
qint64 announcedSize(QStringView line);

}  // namespace zephra::ftp
