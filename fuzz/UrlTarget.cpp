// ftp:// addresses as the command-line tool takes them.

#include "FuzzTarget.h"

#include "ftp/Url.h"

#include <QString>

using namespace zephra::ftp;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const QString text = QString::fromUtf8(reinterpret_cast<const char*>(data), qsizetype(size));
    QString error;
    const auto url = parseFtpUrl(text, &error);
    if (!url) {
        FUZZ_CHECK(!error.isEmpty());
        return 0;
    }
    FUZZ_CHECK(!url->host.isEmpty());
    FUZZ_CHECK(url->port != 0);
    FUZZ_CHECK(!url->user.isEmpty());
    return 0;
}
