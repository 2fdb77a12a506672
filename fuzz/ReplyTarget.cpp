// The reply parser: how a reply is judged (the reply table, the reason text), the size a 150
// reply announces, and the replies the session reads values from (257 directory, FEAT, 213
// size), for any reply a server may send. The input is one reply, its lines separated by LF.

#include "FuzzTarget.h"

#include "ftp/Reply.h"

#include <QByteArrayList>
#include <QString>

#include <limits>

using namespace zephra::ftp;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const QByteArray input(reinterpret_cast<const char*>(data), qsizetype(size));
    Reply reply;
    for (QByteArray raw : input.split('\n')) {
        if (raw.endsWith('\r'))
            raw.chop(1);
        reply.rawLines.append(raw);
        reply.lines.append(QString::fromUtf8(raw));
    }
    reply.code = reply.lines.first().left(3).toInt();  // 0 when the line has no code

    const ReplyRule rule = replyRule(reply.code);
    FUZZ_CHECK(isErrorReply(reply) == rule.error);
    // Codes outside the table are judged by their class.
    if (!rule.known)
        FUZZ_CHECK(rule.error == (reply.code >= 400));
    const QString reason = replyReason(reply);
    FUZZ_CHECK(rule.reason.isEmpty() ? reason == reply.lastLine().trimmed() : reason == rule.reason);
    (void)parseFeatures(reply);

    for (qsizetype i = 0; i < reply.lines.size(); ++i) {
        const QString& line = reply.lines[i];
        const qint64 announced = announcedSize(line);
        FUZZ_CHECK(announced >= -1);
        if (announced >= 0)
            FUZZ_CHECK(line.contains(QLatin1String(" byte")));
        FUZZ_CHECK(parseSizeReply(line) >= -1);
        if (const auto directory = parseDirectoryReply(reply.rawLines[i]))
            FUZZ_CHECK(directory->size() < reply.rawLines[i].size());
    }

    // Any bytes as a directory name, quoted the way servers quote it, read back unchanged.
    const QByteArray name = reply.rawLines.first();
    QByteArray quoted = name;
    quoted.replace('"', "\"\"");
    const auto directory = parseDirectoryReply("257 \"" + quoted + "\" is the current directory");
    FUZZ_CHECK(directory && *directory == name);

    // Any size a 213 reply can carry reads back.
    if (size >= 8) {
        qint64 value = 0;
        for (int i = 0; i < 8; ++i)
            value = value << 8 | data[i];
        value &= std::numeric_limits<qint64>::max();
        FUZZ_CHECK(parseSizeReply(QStringLiteral("213 %1").arg(value)) == value);
    }
    return 0;
}
