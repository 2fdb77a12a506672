#include "browse/LocalFileOperations.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <system_error>
#ifdef Q_OS_LINUX
#include <fcntl.h>
#include <stdio.h>
#endif

#include "browse/LocalPath.h"
#include "dialogs/Prompter.h"

namespace zephra::browse {

namespace fs = std::filesystem;

namespace localfs {

namespace {

fs::path toFs(const QString& path)
{
#ifdef Q_OS_WIN
    return fs::path(QDir::toNativeSeparators(path).toStdWString());
#else
    return fs::path(QFile::encodeName(path).toStdString());
#endif
}

QString reason(const std::error_code& ec)
{
    return QString::fromLocal8Bit(ec.message());
}

QString reason(std::errc code)
{
    return reason(std::make_error_code(code));
}

}  // namespace

QString invalidNameReason(const QString& name)
{
    if (name.isEmpty() || name == u"." || name == u"..")
        return QObject::tr("\"%1\" is not a valid name").arg(name);
    for (const QChar c : name) {
        if (c == u'/'
#ifdef Q_OS_WIN
            || c == u'\\'
#endif
        )
            return QObject::tr("a name cannot contain \"%1\"").arg(c);
        if (c.category() == QChar::Other_Control)
            return QObject::tr("a name cannot contain control characters");
    }
    return {};
}

QString openDirectoryProblem(const QString& path)
{
    std::error_code ec;
    fs::directory_iterator probe(toFs(path), ec);
    return ec ? reason(ec) : QString();
}

QString removeDirectory(const QString& path)
{
    std::error_code ec;
    const fs::path p = toFs(path);
    const fs::file_status st = fs::symlink_status(p, ec);
    if (ec)
        return reason(ec);
    if (!fs::is_directory(st))
        return reason(std::errc::not_a_directory);
    // fs::remove is rmdir() for a directory: it refuses one that is not empty.
    if (!fs::remove(p, ec) && !ec)
        return reason(std::errc::no_such_file_or_directory);
    return ec ? reason(ec) : QString();
}

QString makeDirectory(const QString& path)
{
    std::error_code ec;
    if (fs::create_directory(toFs(path), ec))
        return {};
    // create_directory reports an existing directory as "nothing to do", not as an error.
    return ec ? reason(ec) : reason(std::errc::file_exists);
}

QString renameNoReplace(const QString& from, const QString& to)
{
    const fs::path source = toFs(from);
    const fs::path target = toFs(to);
#if defined(Q_OS_LINUX) && defined(RENAME_NOREPLACE)
    if (::renameat2(AT_FDCWD, source.c_str(), AT_FDCWD, target.c_str(), RENAME_NOREPLACE) == 0)
        return {};
    if (errno != EINVAL && errno != ENOSYS)
        return reason(std::error_code(errno, std::generic_category()));
    // The file system cannot refuse a replacement by itself: check first.
#endif
    std::error_code ec;
    if (fs::exists(fs::symlink_status(target, ec)))
        return reason(std::errc::file_exists);
    if (!fs::exists(fs::symlink_status(source, ec)))
        return reason(std::errc::no_such_file_or_directory);
    fs::rename(source, target, ec);
    return ec ? reason(ec) : QString();
}

QString removeFile(const QString& path)
{
    std::error_code ec;
    const fs::path p = toFs(path);
    const fs::file_status st = fs::symlink_status(p, ec);
    if (ec)
        return reason(ec);
    if (fs::is_directory(st))
        return reason(std::errc::is_a_directory);
    if (!fs::remove(p, ec) && !ec)
        return reason(std::errc::no_such_file_or_directory);
    return ec ? reason(ec) : QString();
}

}  // namespace localfs

namespace {

// The directory's text up to and including its last separator, then the new name.
QString besideDirectory(const QString& directory, const QString& newName)
{
    QString dir = directory;
    while (dir.size() > 1 && (dir.endsWith(u'/') || dir.endsWith(QDir::separator())))
        dir.chop(1);
    const qsizetype cut = std::max(dir.lastIndexOf(u'/'), dir.lastIndexOf(QDir::separator()));
    return localFilePath(dir.left(cut + 1), newName);
}

}  // namespace

LocalFileOperations::LocalFileOperations(dialogs::Prompter& prompter, QWidget* dialogParent)
    : m_prompter(prompter), m_parent(dialogParent)
{
}

void LocalFileOperations::reportError(const QString& reason)
{
    m_prompter.warning(m_parent, dialogs::kAppTitle, kErrorPrefix + reason);
}

LocalFileOperations::Outcome LocalFileOperations::deleteDirectory(const QString& directory)
{
    const QString shown = QDir::toNativeSeparators(directory);
    if (!m_prompter.question(m_parent, QObject::tr("Delete Confirm"),
                             QObject::tr("Are you sure you want to delete the folder %1?").arg(shown)))
        return Outcome::Cancelled;
    const QString error = localfs::removeDirectory(directory);
    if (!error.isEmpty()) {
        reportError(error);
        return Outcome::Failed;
    }
    return Outcome::Done;
}

std::optional<QString> LocalFileOperations::makeDirectory(const QString& parent, const QString& name)
{
    if (const QString bad = localfs::invalidNameReason(name); !bad.isEmpty()) {
        reportError(bad);
        return std::nullopt;
    }
    const QString path = localFilePath(parent, name);
    if (const QString error = localfs::makeDirectory(path); !error.isEmpty()) {
        reportError(error);
        return std::nullopt;
    }
    return path;
}

std::optional<QString> LocalFileOperations::renameDirectory(const QString& directory,
                                                            const QString& newName)
{
    if (const QString bad = localfs::invalidNameReason(newName); !bad.isEmpty()) {
        reportError(bad);
        return std::nullopt;
    }
    const QString target = besideDirectory(directory, newName);
    if (const QString error = localfs::renameNoReplace(directory, target); !error.isEmpty()) {
        reportError(error);
        return std::nullopt;
    }
    return target;
}

LocalFileOperations::DeleteOutcome LocalFileOperations::deleteFiles(const QStringList& paths)
{
    DeleteOutcome out;
    if (!m_prompter.question(m_parent, QObject::tr("Delete Confirm"),
                             QObject::tr("Are you sure you want to delete the selected file(s)?")))
        return out;
    out.confirmed = true;
    QStringList failures;
    for (const QString& path : paths) {
        const QString error = localfs::removeFile(path);
        if (error.isEmpty()) {
            ++out.deleted;
        } else {
            ++out.failed;
            failures.append(QStringLiteral("%1: %2").arg(QFileInfo(path).fileName(), error));
        }
    }
    if (!failures.isEmpty())
        reportError(failures.join(u'\n'));
    return out;
}

std::optional<QString> LocalFileOperations::renameFile(const QString& directory,
                                                       const QString& oldName,
                                                       const QString& newName)
{
    if (const QString bad = localfs::invalidNameReason(newName); !bad.isEmpty()) {
        reportError(bad);
        return std::nullopt;
    }
    const QString from = localFilePath(directory, oldName);
    const QString to = localFilePath(directory, newName);
    if (const QString error = localfs::renameNoReplace(from, to); !error.isEmpty()) {
        reportError(error);
        return std::nullopt;
    }
    return to;
}

}  // namespace zephra::browse
