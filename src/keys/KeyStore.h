#pragma once
// The key store key.dat: 58-byte records (name 40, key 18), no header, in the data directory.

#include "keys/RecordFile.h"

#include <QStringList>

#include <optional>

namespace zephra::keys {

struct KeyRecord {
    static constexpr int kSize = 58;
    static constexpr int kNameWidth = 40;
    static constexpr int kKeyWidth = 18;

    QString name;  // trimmed when read
    QString key;   // trimmed when read

    // std::nullopt unless bytes is exactly one record.
    static std::optional<KeyRecord> read(QByteArrayView bytes);
    // The record bytes, or std::nullopt with *error set (too long, not storable).
    std::optional<QByteArray> write(QString* error) const;
};

class KeyStore final {
public:
    static constexpr auto kFileName = "key.dat";
    static constexpr auto kTmpName = "key.tmp";

    // appDir ends with a separator.
    explicit KeyStore(QString appDir) : m_appDir(std::move(appDir)) {}

    QString path() const { return m_appDir + QLatin1String(kFileName); }
    QString tmpPath() const { return m_appDir + QLatin1String(kTmpName); }

    StoreStatus ensureExists() const { return recordfile::ensureExists(path()); }

    struct Listing {
        QStringList names;  // trimmed, file order, duplicates and empty names included
        QString error;      // damage or read failure; names holds the readable records
    };
    Listing names() const;

    // The key of the first record whose trimmed name equals name exactly (case counts).
    std::optional<QString> keyFor(const QString& name) const;

    // Writes name and key over the first record whose trimmed name matches name ignoring
    // letter case (the stored name becomes name as given), otherwise appends a record.
    StoreStatus save(const QString& name, const QString& key) const;

    // Drops every record whose trimmed name equals name exactly; the store is rewritten
    // through key.tmp.
    StoreStatus remove(const QString& name) const;

private:
    QString m_appDir;
};

// The key stored under name in appDir's key store, by the same lookup as choosing a name in
// the key panel; std::nullopt when the store or the name is missing. Reads only.
std::optional<QString> findKeyByName(const QString& appDir, const QString& name);

}  // namespace zephra::keys
