// ~/.netrc as the command-line tool reads it for a login: any file gives an entry or none, and
// an entry found for a named user is that user's (or names no login).

#include "FuzzTarget.h"

#include "app/cli/Netrc.h"

using zephra::cli::findNetrcLogin;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const QByteArrayView netrc(reinterpret_cast<const char*>(data), qsizetype(size));
    (void)findNetrcLogin(netrc, QStringLiteral("ftp.example.org"), QString());
    for (const QString& user : {QStringLiteral("alice"), QStringLiteral("anonymous")}) {
        if (const auto login = findNetrcLogin(netrc, QStringLiteral("FTP.example.org"), user))
            FUZZ_CHECK(login->login.isEmpty() || login->login == user);
    }
    return 0;
}
