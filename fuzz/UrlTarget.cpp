// ftp:// addresses as the command-line tool takes them: any text is an address or a reason, the
// path's text is the decoding of its bytes, and any bytes written into an address as a path
// come back as the same bytes (names that are not UTF-8 reach the server as they are).

#include "FuzzTarget.h"

#include "ftp/Url.h"

#include <QString>

using namespace zephra::ftp;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const QByteArray bytes(reinterpret_cast<const char*>(data), qsizetype(size));
    const QString text = QString::fromUtf8(bytes);
    QString error;
    if (const auto url = parseFtpUrl(text, &error)) {
        FUZZ_CHECK(!url->host.isEmpty());
        FUZZ_CHECK(url->port != 0);
        FUZZ_CHECK(!url->user.isEmpty());
        FUZZ_CHECK(url->path == QString::fromUtf8(url->rawPath));
    } else {
        FUZZ_CHECK(!error.isEmpty());
    }

    const auto named = parseFtpUrl(QStringLiteral("ftp://user@127.0.0.1:2121/") + QString::fromLatin1(bytes.toPercentEncoding()),
                                   &error);
    FUZZ_CHECK(named && named->rawPath == bytes);
    return 0;
}
