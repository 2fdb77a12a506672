#include "ftp/direct/RemoteName.h"

namespace zephra::ftp::direct {

QString remoteName(const QString& serverPath, const QString& name)
{
    if (serverPath.isEmpty() || serverPath == QLatin1String("/"))
        return name;
    if (serverPath.endsWith(QLatin1Char('/')))
        return serverPath + name;
    return serverPath + QLatin1Char('/') + name;
}

QString listingDirectory(const QString& serverPath)
{
    return serverPath == QLatin1String("/") ? QString() : serverPath;
}

}  // namespace zephra::ftp::direct
