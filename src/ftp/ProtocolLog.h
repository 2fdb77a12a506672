#pragma once
// What the protocol log shows of a command line, the same on both routes: the line as sent,
// except that a password never appears in it.

#include <QByteArrayView>
#include <QString>
#include <QTime>

namespace zephra::ftp {

// "PASS secret" is shown as "PASS ****" (also "pass secret": servers take commands in any case);
// every other command as its text. The bytes are decoded as UTF-8, a line break at the end
// dropped.
QString loggableCommand(QByteArrayView command);

// One line of the protocol log as the window's log pane and zephraftp-cli -v show it:
// "14:02:07 > USER zephra" for a command sent, "14:02:07 < 230 Login successful." for a reply.
// A line sent is masked once more (a password never shows, whoever called).
QString protocolLogLine(const QString& line, bool sent, const QTime& at);

}  // namespace zephra::ftp
