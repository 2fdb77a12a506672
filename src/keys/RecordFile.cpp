#include "keys/RecordFile.h"

#include "keys/Cp1252.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <filesystem>
#include <system_error>

#ifdef Q_OS_WIN
#include <io.h>
#else
#include <unistd.h>
#endif

namespace zephra::keys {

QString trimSpaces(QStringView text)
{
    qsizetype begin = 0;
    qsizetype end = text.size();
    while (begin < end && text[begin] == u' ')
        ++begin;
    while (end > begin && text[end - 1] == u' ')
        --end;
    return text.mid(begin, end - begin).toString();
}

bool putField(QByteArray& record, QStringView value, int width, const QString& label, QString* error)
{
    if (const auto bad = cp1252::firstUnencodable(value)) {
        *error = QStringLiteral("The %1 contains the character \"%2\", which cannot be stored. "
                                "Nothing was saved.")
                     .arg(label, QString(*bad));
        return false;
    }
    if (value.size() > width) {
        *error = QStringLiteral("The %1 is longer than %2 characters. Nothing was saved.").arg(label).arg(width);
        return false;
    }
    QByteArray bytes = *cp1252::encode(value);
    bytes.append(QByteArray(width - bytes.size(), ' '));
    record.append(bytes);
    return true;
}

QString getField(QByteArrayView record, int offset, int width)
{
    return trimSpaces(cp1252::decode(record.sliced(offset, width)));
}

void setOwnerOnly(const QString& path)
{
    QFile::setPermissions(path, QFileDevice::ReadOwner | QFileDevice::WriteOwner);
}

void setOwnerOnlyDir(const QString& path)
{
    QFile::setPermissions(path, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
}

bool syncToDisk(QFileDevice& file)
{
    if (!file.flush())
        return false;
#ifdef Q_OS_WIN
    return _commit(file.handle()) == 0;
#else
    return ::fsync(file.handle()) == 0;
#endif
}

namespace recordfile {

namespace {

QString fileName(const QString& path) { return QFileInfo(path).fileName(); }

}  // namespace

StoreStatus ensureExists(const QString& path)
{
    if (QFileInfo::exists(path))
        return StoreStatus::success();
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::NewOnly))
        return StoreStatus::failure(QStringLiteral("Cannot create %1: %2").arg(QDir::toNativeSeparators(path), file.errorString()));
    file.close();
    setOwnerOnly(path);
    return StoreStatus::success();
}

RecordList readAll(const QString& path, int recordSize, const QString& storeName)
{
    RecordList out;
    QFile file(path);
    if (!file.exists())
        return out;
    if (!file.open(QIODevice::ReadOnly)) {
        out.error = QStringLiteral("Cannot read %1: %2").arg(storeName, file.errorString());
        return out;
    }
    const QByteArray all = file.readAll();
    if (all.size() % recordSize != 0) {
        out.error = QStringLiteral("%1 is damaged: its length (%2 bytes) is not a whole number of "
                                   "%3-byte records. It was left unchanged.")
                        .arg(storeName).arg(all.size()).arg(recordSize);
        // The whole records before the damage are still offered for reading.
    }
    for (qsizetype at = 0; at + recordSize <= all.size(); at += recordSize)
        out.records.append(all.mid(at, recordSize));
    return out;
}

StoreStatus writeAt(const QString& path, int recordSize, qsizetype index, const QByteArray& record)
{
    Q_ASSERT(record.size() == recordSize);
    const bool existed = QFileInfo::exists(path);
    QFile file(path);
    if (!file.open(QIODevice::ReadWrite))
        return StoreStatus::failure(QStringLiteral("Cannot write %1: %2").arg(fileName(path), file.errorString()));
    if (!existed)
        setOwnerOnly(path);
    if (file.size() % recordSize != 0)
        return StoreStatus::failure(QStringLiteral("%1 is damaged: its length (%2 bytes) is not a whole number of "
                                                   "%3-byte records. Nothing was saved.")
                                        .arg(fileName(path)).arg(file.size()).arg(recordSize));
    const qint64 offset = qint64(index) * recordSize;
    if (offset > file.size())
        return StoreStatus::failure(QStringLiteral("Cannot write %1: record position past its end.").arg(fileName(path)));
    if (!file.seek(offset) || file.write(record) != record.size() || !syncToDisk(file))
        return StoreStatus::failure(QStringLiteral("Cannot write %1: %2").arg(fileName(path), file.errorString()));
    return StoreStatus::success();
}

StoreStatus rewrite(const QString& path, const QString& tmpPath, const QList<QByteArray>& records)
{
    QFile::remove(tmpPath);  // a leftover of an interrupted removal is never reused
    QFile tmp(tmpPath);
    if (!tmp.open(QIODevice::WriteOnly | QIODevice::NewOnly))
        return StoreStatus::failure(QStringLiteral("Cannot create %1: %2").arg(fileName(tmpPath), tmp.errorString()));
    setOwnerOnly(tmpPath);
    for (const QByteArray& r : records) {
        if (tmp.write(r) != r.size()) {
            const QString why = tmp.errorString();
            tmp.close();
            QFile::remove(tmpPath);
            return StoreStatus::failure(QStringLiteral("Cannot write %1: %2. %3 was left unchanged.")
                                            .arg(fileName(tmpPath), why, fileName(path)));
        }
    }
    if (!syncToDisk(tmp)) {
        tmp.close();
        QFile::remove(tmpPath);
        return StoreStatus::failure(QStringLiteral("Cannot write %1 to the disk. %2 was left unchanged.")
                                        .arg(fileName(tmpPath), fileName(path)));
    }
    tmp.close();
    // std::filesystem::rename replaces the target in one step (rename(2) / MoveFileEx).
    std::error_code ec;
    std::filesystem::rename(std::filesystem::path(tmpPath.toStdU16String()),
                            std::filesystem::path(path.toStdU16String()), ec);
    if (ec) {
        QFile::remove(tmpPath);
        return StoreStatus::failure(QStringLiteral("Cannot replace %1: %2. It was left unchanged.")
                                        .arg(fileName(path), QString::fromStdString(ec.message())));
    }
    return StoreStatus::success();
}

}  // namespace recordfile

}  // namespace zephra::keys
