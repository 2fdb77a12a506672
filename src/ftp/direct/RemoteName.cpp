#include "ftp/direct/RemoteName.h"

namespace zephra::ftp::direct {

namespace {

QByteArray withoutTrailingSlashes(QByteArray path)
{
    while (path.size() > 1 && path.endsWith('/'))
        path.chop(1);
    return path;
}

}  // namespace

QByteArray childPath(const QByteArray& directory, const QByteArray& name)
{
    if (directory.isEmpty())
        return name;
    if (directory.endsWith('/'))
        return directory + name;
    return directory + '/' + name;
}

QByteArray parentPath(const QByteArray& path)
{
    const QByteArray trimmed = withoutTrailingSlashes(path);
    if (trimmed == "/")
        return trimmed;
    const qsizetype slash = trimmed.lastIndexOf('/');
    if (slash < 0)
        return QByteArray();  // "a": the login directory
    if (slash == 0)
        return "/";
    return withoutTrailingSlashes(trimmed.left(slash));
}

QByteArray resolveDirectory(const QByteArray& current, const QByteArray& step)
{
    if (step == "..")
        return parentPath(current);
    if (step.isEmpty() || step == ".")
        return withoutTrailingSlashes(current);
    if (step.startsWith('/'))
        return withoutTrailingSlashes(step);
    return withoutTrailingSlashes(childPath(withoutTrailingSlashes(current), step));
}

}  // namespace zephra::ftp::direct
