#include "ftp/Url.h"

#include <QUrl>

namespace zephra::ftp {

std::optional<FtpUrl> parseFtpUrl(const QString& text, QString* error)
{
    const QUrl url(text, QUrl::StrictMode);
    const bool implicit = url.scheme() == QLatin1String("ftps");
    if (!url.isValid() || (url.scheme() != QLatin1String("ftp") && !implicit) || url.host().isEmpty()) {
        *error = QStringLiteral("not an ftp:// or ftps:// address: %1").arg(text);
        return std::nullopt;
    }
    FtpUrl result;
    result.host = url.host();
    result.implicitTls = implicit;
    const int port = url.port(implicit ? 990 : 21);
    if (port <= 0 || port > 65535) {
        *error = QStringLiteral("bad port in %1").arg(text);
        return std::nullopt;
    }
    result.port = quint16(port);
    result.user = url.userName(QUrl::FullyDecoded);
    result.password = url.password(QUrl::FullyDecoded);
    if (result.user.isEmpty()) {
        result.user = QStringLiteral("anonymous");
        if (result.password.isEmpty())
            result.password = QStringLiteral("zephraftp@");
    }
    // "/a/b" names a/b below the login directory; "/%2Fa/b" names /a/b.
    const QString encodedPath = url.path(QUrl::FullyEncoded);
    const QString relative = encodedPath.startsWith(u'/') ? encodedPath.mid(1) : encodedPath;
    result.path = QUrl::fromPercentEncoding(relative.toUtf8());
    result.rawPath = QByteArray::fromPercentEncoding(relative.toLatin1());
    return result;
}

}  // namespace zephra::ftp
