#include "ftp/Reply.h"

#include <QHash>
#include <QRegularExpression>

namespace zephra::ftp {

namespace {

struct Row {
    int code;
    bool error;
    const char* reason;  // nullptr: the reply line is the reason
};

// The fixed reply table: the texts are the ones users and scripts see.
constexpr Row kReplyTable[] = {
    {110, true, "Restart marker reply."},
    {125, false, "Data connection open; transfer starting."},
    {150, false, nullptr},
    {200, false, "The previous command was successfull."},
    {202, true, "The previous command used by this program is not implemented on the server and can not be used."},
    {211, false, "System status, or system help reply."},
    {212, false, "Directory status."},
    {213, false, "File status."},
    {214, false, "Help message."},
    {215, false, "System type."},
    {220, false, "System message."},
    {225, false, "The transfer is no longer in progress."},
    {226, false, "The transfer is no longer in progress."},
    {227, false, nullptr},
    {230, false, "The login is valid and you may proceed."},
    {250, false, "Requested file action okay, completed."},
    {257, false, nullptr},
    {331, false, "User name okay, need password."},
    {332, true, "Need account for login."},
    {350, false, "Requested file action pending further information."},
    {421, true, "Service not available, your connection has been terminated."},
    {425, true, "Can't open data connection with the server."},
    {426, true, "Connection closed; transfer aborted."},
    {450, true, "The requested file/directory action was not taken, either the file/directory is unavailable or busy."},
    {451, true, "The requested file/directory action was aborted due to an error in processing."},
    {452, true, "The requested file/directory action was not completed due to insufficient space."},
    {500, true, "The previous command used by this program is unrecognized by the server."},
    {501, true, "The previous command used by this program has different parameters or arguments then the servers command and can not be used."},
    {502, true, "The previous command used by this program is not implemented on the server and can not be used."},
    {503, true, "The previous commands where not in correct order to the servers specifications and can not be used."},
    {504, true, "The previous commands parameters where not implemented by the server and can not be used."},
    {530, true, "User not logged in correct."},
    {532, true, "You need an account for storing files."},
    {550, true, "The requested file/directory action was aborted because the file/directory was not found or you don't have access."},
    {551, true, "The requested file/directory action was aborted because the page type was unknown."},
    {552, true, "The requested file/directory action was aborted because it exceeded storage allocation."},
    {553, true, "The requested file/directory action was aborted because the file/directory name was not allowed."},
};

}  // namespace

ReplyRule replyRule(int code)
{
    for (const Row& row : kReplyTable) {
        if (row.code == code)
            return {true, row.error, row.reason ? QString::fromLatin1(row.reason) : QString()};
    }
    return {false, code >= 400, QString()};
}

QString replyReason(const Reply& reply)
{
    const ReplyRule rule = replyRule(reply.code);
    return rule.reason.isEmpty() ? reply.lastLine().trimmed() : rule.reason;
}

bool isErrorReply(const Reply& reply)
{
    return replyRule(reply.code).error;
}

namespace {

// "h1,h2,h3,h4,p1,p2" (blanks around the numbers allowed) as the port, or nothing.
std::optional<quint16> passivePort(QStringView list)
{
    const auto fields = list.split(u',');
    if (fields.size() != 6)
        return std::nullopt;
    int numbers[6];
    for (int i = 0; i < 6; ++i) {
        const QStringView field = fields[i].trimmed();
        bool ok = false;
        const int value = field.toInt(&ok);
        if (!ok || field.isEmpty() || value < 0 || value > 255 || !field.front().isDigit())
            return std::nullopt;
        numbers[i] = value;
    }
    const int port = numbers[4] * 256 + numbers[5];
    if (port == 0)
        return std::nullopt;
    return static_cast<quint16>(port);
}

}  // namespace

std::optional<quint16> parsePassiveReply(QStringView line)
{
    const qsizetype close = line.lastIndexOf(u')');
    if (close >= 0) {
        const QStringView head = line.left(close);
        const qsizetype open = head.lastIndexOf(u'(');
        if (open >= 0)
            return passivePort(head.mid(open + 1));
    }
    // No parentheses: the first run of six comma-separated numbers after the code.
    static const QRegularExpression bare(QStringLiteral("(\\d+\\s*,\\s*){5}\\d+"));
    const auto match = bare.match(line.size() > 3 ? line.mid(3) : QStringView());
    return match.hasMatch() ? passivePort(match.capturedView()) : std::nullopt;
}

std::optional<QByteArray> parseDirectoryReply(QByteArrayView line)
{
    const qsizetype open = line.indexOf('"');
    if (open < 0)
        return std::nullopt;
    QByteArray path;
    for (qsizetype i = open + 1; i < line.size(); ++i) {
        if (line[i] != '"') {
            path += line[i];
            continue;
        }
        if (i + 1 < line.size() && line[i + 1] == '"') {
            path += '"';
            ++i;
            continue;
        }
        return path;
    }
    return std::nullopt;  // no closing quote
}

ServerFeatures parseFeatures(const Reply& reply)
{
    ServerFeatures features;
    if (reply.code != 211)
        return features;
    // The first and last lines frame the list; each feature line starts with a blank.
    for (qsizetype i = 1; i + 1 < reply.lines.size(); ++i) {
        const QStringList words = reply.lines[i].trimmed().split(u' ', Qt::SkipEmptyParts);
        if (words.isEmpty())
            continue;
        const QString name = words.first().toUpper();
        if (name == u"MLST" || name == u"MLSD")
            features.mlsd = true;
        else if (name == u"SIZE")
            features.size = true;
        else if (name == u"UTF8")
            features.utf8 = true;
        else if (name == u"REST" && words.size() > 1 && words[1].toUpper() == u"STREAM")
            features.restStream = true;
    }
    return features;
}

qint64 parseSizeReply(QStringView line)
{
    if (!line.startsWith(u"213 "))
        return -1;
    const QStringView number = line.mid(4).trimmed();
    bool ok = false;
    const qint64 value = number.toLongLong(&ok);
    return ok && value >= 0 && !number.isEmpty() && number.front().isDigit() ? value : -1;
}

QString portArgument(const QHostAddress& address, quint16 port)
{
    bool ok = false;
    const quint32 ip = address.toIPv4Address(&ok);
    if (!ok)
        return QString();
    return QStringLiteral("%1,%2,%3,%4,%5,%6")
        .arg(ip >> 24)
        .arg((ip >> 16) & 0xff)
        .arg((ip >> 8) & 0xff)
        .arg(ip & 0xff)
        .arg(port / 256)
        .arg(port % 256);
}

qint64 announcedSize(QStringView line)
{
    static const QRegularExpression size(QStringLiteral("\\((\\d+) bytes?\\)"));
    const auto match = size.match(line);
    if (!match.hasMatch())
        return -1;
    bool ok = false;
    const qint64 value = match.capturedView(1).toLongLong(&ok);
    return ok ? value : -1;
}

}  // namespace zephra::ftp
