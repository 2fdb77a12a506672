#include "ftp/ProtocolLog.h"

#include <QByteArray>

namespace zephra::ftp {

QString loggableCommand(QByteArrayView command)
{
    QByteArrayView line = command;
    while (line.endsWith('\n') || line.endsWith('\r'))
        line.chop(1);
    // "PASS" alone (an empty password) says nothing secret; anything after it does.
    if (line.size() >= 4 && line.first(4).toByteArray().toUpper() == "PASS" && (line.size() == 4 || line.at(4) == ' '))
        return line.size() == 4 ? QStringLiteral("PASS") : QStringLiteral("PASS ****");
    return QString::fromUtf8(line);
}

QString protocolLogLine(const QString& line, bool sent, const QTime& at)
{
    const QString shown = sent ? loggableCommand(line.toUtf8()) : line;
    return at.toString(QStringLiteral("HH:mm:ss")) + (sent ? QStringLiteral(" > ") : QStringLiteral(" < ")) + shown;
}

}  // namespace zephra::ftp
