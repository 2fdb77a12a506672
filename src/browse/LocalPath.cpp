#include "browse/LocalPath.h"

#include <QDir>

#include "ftp/Listing.h"

namespace zephra::browse {

QChar defaultSeparator()
{
    return QDir::separator();
}

QString collapseSeparators(const QString& path, QChar separator)
{
    QString out;
    out.reserve(path.size());
    qsizetype i = 0;
    if (separator == u'\\' && path.startsWith(QStringLiteral("\\\\")) && path.size() > 2
        && path[2] != separator) {
        out += QStringLiteral("\\\\");
        i = 2;
    }
    for (; i < path.size(); ++i) {
        const QChar c = path[i];
        if (c == separator && !out.isEmpty() && out.back() == separator)
            continue;
        out += c;
    }
    return out;
}

QString localFilePath(const QString& directory, const QString& rowText, QChar separator)
{
    QString dir = directory;
    // Qt hands out "C:/data"; on a platform whose separator is "\\" the path is built natively.
    if (separator == u'\\')
        dir.replace(u'/', u'\\');
    return collapseSeparators(dir + separator + rowText, separator);
}

std::optional<QString> localTargetForServerName(const QString& directory, const QString& name,
                                                QChar separator)
{
    if (!ftp::isSafeLocalName(name))
        return std::nullopt;
    return localFilePath(directory, name, separator);
}

}  // namespace zephra::browse
