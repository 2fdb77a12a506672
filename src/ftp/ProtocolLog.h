#pragma once
// What the protocol log shows of a command line, the same on both routes: the line as sent,
// except that a password never appears in it.

#include <QByteArrayView>
#include <QString>

namespace zephra::ftp {

// "PASS secret" is shown as "PASS ****" (also "pass secret": servers take commands in any case);
// every other command as its text. The bytes are decoded as UTF-8, a line break at the end
// dropped.
QString loggableCommand(QByteArrayView command);

}  // namespace zephra::ftp
