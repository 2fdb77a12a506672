#include "keys/KeyFileOps.h"

#include "keys/KeyStore.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>

namespace zephra::keys {

namespace {

QString inDir(const QString& dir, const QString& name)
{
    return QDir(dir).filePath(name);
}

QString native(const QString& path) { return QDir::toNativeSeparators(path); }

bool sameFile(const QString& a, const QString& b)
{
    const QFileInfo fa(a), fb(b);
    if (fa.exists() && fb.exists())
        return fa.canonicalFilePath() == fb.canonicalFilePath();
    // The destination may not exist yet: compare the directories.
    return QFileInfo(fa.absolutePath()).canonicalFilePath() == QFileInfo(fb.absolutePath()).canonicalFilePath()
        && fa.fileName() == fb.fileName();
}

// Writes the whole of source to dest through a temporary file beside dest, renamed into place
// only when every byte is on the disk.
StoreStatus copyWhole(const QString& source, const QString& dest, const QString& what)
{
    QFile in(source);
    if (!in.open(QIODevice::ReadOnly))
        return StoreStatus::failure(QStringLiteral("Cannot read %1: %2. %3").arg(native(source), in.errorString(), what));
    const QByteArray bytes = in.readAll();
    if (in.error() != QFileDevice::NoError)
        return StoreStatus::failure(QStringLiteral("Cannot read %1: %2. %3").arg(native(source), in.errorString(), what));
    QSaveFile out(dest);
    if (!out.open(QIODevice::WriteOnly))
        return StoreStatus::failure(QStringLiteral("Cannot write %1: %2. %3").arg(native(dest), out.errorString(), what));
    if (out.write(bytes) != bytes.size() || !syncToDisk(out)) {
        const QString why = out.errorString();
        out.cancelWriting();
        return StoreStatus::failure(QStringLiteral("Cannot write %1: %2. %3").arg(native(dest), why, what));
    }
    if (!out.commit())
        return StoreStatus::failure(QStringLiteral("Cannot write %1: %2. %3").arg(native(dest), out.errorString(), what));
    setOwnerOnly(dest);
    return StoreStatus::success();
}

}  // namespace

StoreStatus transferStore(const QString& appDir, const QString& destDir)
{
    const QString source = inDir(appDir, QLatin1String(KeyStore::kFileName));
    const QString dest = inDir(destDir, QLatin1String(KeyStore::kFileName));
    if (!QFileInfo(source).isFile())
        return StoreStatus::failure(QStringLiteral("There is no key file to transfer (%1 is missing). Nothing was copied.")
                                        .arg(native(source)));
    if (!QFileInfo(destDir).isDir())
        return StoreStatus::failure(QStringLiteral("The directory %1 does not exist. Nothing was copied.").arg(native(destDir)));
    if (sameFile(source, dest))
        return StoreStatus::failure(QStringLiteral("%1 is the program's own key file. Choose another directory; "
                                                   "nothing was copied.").arg(native(dest)));
    return copyWhole(source, dest, QStringLiteral("The key file was not transferred."));
}

StoreStatus restoreStore(const QString& sourceDir, const QString& appDir)
{
    const QString source = inDir(sourceDir, QLatin1String(KeyStore::kFileName));
    const QString dest = inDir(appDir, QLatin1String(KeyStore::kFileName));
    const QFileInfo info(source);
    if (!info.isFile())
        return StoreStatus::failure(QStringLiteral("There is no key file in %1. Nothing was restored.")
                                        .arg(native(sourceDir)));
    if (sameFile(source, dest))
        return StoreStatus::failure(QStringLiteral("%1 is the program's own key file. Choose the directory the keys "
                                                   "were transferred to; nothing was restored.").arg(native(source)));
    if (info.size() % KeyRecord::kSize != 0)
        return StoreStatus::failure(QStringLiteral("%1 is not a key file: its length (%2 bytes) is not a whole number "
                                                   "of %3-byte records. Nothing was restored.")
                                        .arg(native(source)).arg(info.size()).arg(KeyRecord::kSize));
    return copyWhole(source, dest, QStringLiteral("The key file was not restored."));
}

StoreStatus deleteStore(const QString& appDir)
{
    const QString path = inDir(appDir, QLatin1String(KeyStore::kFileName));
    if (!QFileInfo::exists(path))
        return StoreStatus::success();
    {
        // ReadWrite without Truncate: every pass lands on the file's own data blocks.
        QFile file(path);
        if (!file.open(QIODevice::ReadWrite))
            return StoreStatus::failure(QStringLiteral("Cannot open %1: %2. The key file was not deleted.")
                                            .arg(native(path), file.errorString()));
        const qint64 n = file.size();
        const QByteArray pass(qMin<qint64>(n, 1 << 16), '@');
        for (int i = 0; i < kDeletePasses; ++i) {
            if (!file.seek(0))
                return StoreStatus::failure(QStringLiteral("Cannot overwrite %1: %2. The key file was not deleted.")
                                                .arg(native(path), file.errorString()));
            for (qint64 done = 0; done < n;) {
                const qint64 chunk = qMin<qint64>(n - done, pass.size());
                if (file.write(pass.constData(), chunk) != chunk)
                    return StoreStatus::failure(QStringLiteral("Cannot overwrite %1: %2. The key file was not deleted.")
                                                    .arg(native(path), file.errorString()));
                done += chunk;
            }
            if (!syncToDisk(file))
                return StoreStatus::failure(QStringLiteral("Cannot overwrite %1 on the disk. The key file was not deleted.")
                                                .arg(native(path)));
        }
    }
    if (!QFile::remove(path))
        return StoreStatus::failure(QStringLiteral("%1 was overwritten but could not be deleted.").arg(native(path)));
    return StoreStatus::success();
}

}  // namespace zephra::keys
