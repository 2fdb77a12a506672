#include "keys/AppDir.h"

#include "keys/RecordFile.h"

#include <QDir>
#include <QFileInfo>
#include <QStandardPaths>

namespace zephra::keys {

QString defaultAppDir()
{
    return QDir(QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation))
        .filePath(QStringLiteral("ZephraFTP"));
}

std::optional<QString> resolveAppDir(const QString& homeOption, QString* error)
{
    QString dir = homeOption;
    if (dir.isEmpty())
        dir = qEnvironmentVariable(kHomeEnv);
    if (dir.isEmpty())
        dir = qEnvironmentVariable(kHomeEnvShort);
    if (dir.isEmpty())
        dir = defaultAppDir();
    dir = QDir(dir).absolutePath();

    const QFileInfo info(dir);
    if (info.exists() && !info.isDir()) {
        if (error)
            *error = QStringLiteral("%1 is not a directory.").arg(QDir::toNativeSeparators(dir));
        return std::nullopt;
    }
    if (!info.exists()) {
        if (!QDir().mkpath(dir)) {
            if (error)
                *error = QStringLiteral("Cannot create the data directory %1.").arg(QDir::toNativeSeparators(dir));
            return std::nullopt;
        }
        setOwnerOnlyDir(dir);
    }
    if (!dir.endsWith(u'/'))
        dir += u'/';
    return dir;
}

}  // namespace zephra::keys
