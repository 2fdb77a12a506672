#include "keys/KeyStore.h"

#include <QDir>

namespace zephra::keys {

std::optional<KeyRecord> KeyRecord::read(QByteArrayView bytes)
{
    if (bytes.size() != kSize)
        return std::nullopt;
    return KeyRecord{getField(bytes, 0, kNameWidth), getField(bytes, kNameWidth, kKeyWidth)};
}

std::optional<QByteArray> KeyRecord::write(QString* error) const
{
    QByteArray out;
    out.reserve(kSize);
    if (!putField(out, name, kNameWidth, QStringLiteral("key name"), error)
        || !putField(out, key, kKeyWidth, QStringLiteral("key"), error))
        return std::nullopt;
    return out;
}

namespace {
const QString kStoreName = QStringLiteral("The key store key.dat");
}

KeyStore::Listing KeyStore::names() const
{
    Listing out;
    const RecordList list = recordfile::readAll(path(), KeyRecord::kSize, kStoreName);
    out.error = list.error;
    for (const QByteArray& bytes : list.records)
        out.names.append(KeyRecord::read(bytes)->name);
    return out;
}

std::optional<QString> KeyStore::keyFor(const QString& name) const
{
    const RecordList list = recordfile::readAll(path(), KeyRecord::kSize, kStoreName);
    for (const QByteArray& bytes : list.records) {
        const KeyRecord r = *KeyRecord::read(bytes);
        if (r.name == name)
            return r.key;
    }
    return std::nullopt;
}

StoreStatus KeyStore::save(const QString& name, const QString& key) const
{
    QString error;
    const auto bytes = KeyRecord{name, key}.write(&error);
    if (!bytes)
        return StoreStatus::failure(error);
    const RecordList list = recordfile::readAll(path(), KeyRecord::kSize, kStoreName);
    if (!list.ok())
        return StoreStatus::failure(list.error);
    qsizetype target = list.records.size();
    const QString wanted = name.toLower();
    for (qsizetype i = 0; i < list.records.size(); ++i) {
        if (KeyRecord::read(list.records[i])->name.toLower() == wanted) {
            target = i;
            break;
        }
    }
    return recordfile::writeAt(path(), KeyRecord::kSize, target, *bytes);
}

StoreStatus KeyStore::remove(const QString& name) const
{
    const RecordList list = recordfile::readAll(path(), KeyRecord::kSize, kStoreName);
    if (!list.ok())
        return StoreStatus::failure(list.error);
    QList<QByteArray> kept;
    for (const QByteArray& bytes : list.records)
        if (KeyRecord::read(bytes)->name != name)
            kept.append(bytes);
    return recordfile::rewrite(path(), tmpPath(), kept);
}

std::optional<QString> findKeyByName(const QString& appDir, const QString& name)
{
    QString dir = appDir;
    if (!dir.isEmpty() && !dir.endsWith(u'/') && !dir.endsWith(QDir::separator()))
        dir += QDir::separator();
    return KeyStore(dir).keyFor(name);
}

}  // namespace zephra::keys
