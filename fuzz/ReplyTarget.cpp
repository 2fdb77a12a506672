// The reply parser: how a reply is judged (the reply table, the reason text) and the size a
// 150 reply announces, for any reply line a server may send.

#include "FuzzTarget.h"

#include "ftp/Reply.h"

#include <QString>

using namespace zephra::ftp;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const QString text = QString::fromUtf8(reinterpret_cast<const char*>(data), qsizetype(size));
    QStringList lines = text.split(u'\n');
    for (QString& line : lines) {
        if (line.endsWith(u'\r'))
            line.chop(1);
    }
    Reply reply;
    const QString first = lines.first();
    reply.code = first.left(3).toInt();  // 0 when the line has no code
    reply.lines = lines;

    const ReplyRule rule = replyRule(reply.code);
    FUZZ_CHECK(isErrorReply(reply) == rule.error);
    // Codes outside the table are judged by their class.
    if (!rule.known)
        FUZZ_CHECK(rule.error == (reply.code >= 400));
    const QString reason = replyReason(reply);
    FUZZ_CHECK(rule.reason.isEmpty() ? reason == reply.lastLine().trimmed() : reason == rule.reason);

    for (const QString& line : lines) {
        const qint64 announced = announcedSize(line);
        FUZZ_CHECK(announced >= -1);
        if (announced >= 0)
            FUZZ_CHECK(line.contains(QLatin1String(" byte")));
    }
    return 0;
}
