// The passive-mode reply (227): any line a server may send, and every PORT-style argument this
// program can write must read back as the same port, with or without parentheses.

#include "FuzzTarget.h"

#include "ftp/Reply.h"

#include <QHostAddress>
#include <QString>

using namespace zephra::ftp;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const QString line = QString::fromUtf8(reinterpret_cast<const char*>(data), qsizetype(size));
    if (const auto port = parsePassiveReply(line)) {
        FUZZ_CHECK(*port != 0);
        FUZZ_CHECK(line.count(u',') >= 5);  // six numbers, with or without parentheses
    }

    // The first six bytes as an address and a port: written the way PORT writes them and wrapped
    // the way servers wrap them, the port must come back unchanged.
    if (size >= 6) {
        const quint32 ip = quint32(data[0]) << 24 | quint32(data[1]) << 16 | quint32(data[2]) << 8 | data[3];
        const quint16 port = quint16(data[4] << 8 | data[5]);
        const QString argument = portArgument(QHostAddress(ip), port);
        FUZZ_CHECK(!argument.isEmpty());
        // With the parentheses most servers write, and without them (RFC 1123 allows both).
        for (const QString& form : {QStringLiteral("227 Entering Passive Mode (%1)."), QStringLiteral("227 Entering Passive Mode %1")}) {
            const auto back = parsePassiveReply(form.arg(argument));
            if (port == 0)
                FUZZ_CHECK(!back);  // port 0 is never a data connection
            else
                FUZZ_CHECK(back && *back == port);
        }
    }
    return 0;
}
