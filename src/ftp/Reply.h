#pragma once
// FTP replies and the pure functions that judge them.
// Reading list: RFC 959 (commands, reply syntax, multi-line replies), RFC 1123 4.1.2.6 (PASV reply
// format is not fixed), RFC 2577 (do not trust the PASV address).

#include <QHostAddress>
#include <QString>
#include <QStringList>
#include <optional>

namespace zephra::ftp {

// One complete reply: a single line, or every line of a multi-line reply ("nnn-" ... "nnn ").
struct Reply {
    int code = 0;
    QStringList lines;  // without line ends

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

// The port of a 227 reply: the six numbers inside the last parentheses, "h1,h2,h3,h4,p1,p2".
// The host numbers are checked but not returned: the data connection goes to the control
// connection's peer. Nothing when the list is missing, malformed or holds a number above 255.
std::optional<quint16> parsePassiveReply(QStringView line);

// The argument of a PORT command for an IPv4 address and port: "a,b,c,d,p1,p2".
// Empty for an address that is not IPv4.
QString portArgument(const QHostAddress& address, quint16 port);

// The announced size in a 150 reply such as "150 Opening BINARY mode data connection for f (1234 bytes).",
// or -1.
qint64 announcedSize(QStringView line);

}  // namespace zephra::ftp
