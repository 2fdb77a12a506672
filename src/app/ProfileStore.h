#pragma once
// Connection profiles: connect.dat, 225-byte records, no header, in the data directory.

#include "keys/RecordFile.h"

#include <QStringList>

#include <optional>

namespace zephra::app {

struct ConnectionRecord {
    static constexpr int kSize = 225;
    static constexpr int kNameWidth = 80;
    static constexpr int kAddressWidth = 80;
    static constexpr int kUserWidth = 40;
    static constexpr int kPasswordWidth = 20;
    static constexpr int kPassiveOffset = 220;
    static constexpr int kPortWidth = 4;

    QString name;
    QString address;
    QString user;
    QString password;
    bool passive = false;
    QString port;

    // A value longer than its field: the window takes long values (a password of 40
    // characters must log in), the record holds only the field's width.
    struct Overlong {
        QString field;  // as the window labels it: "Name", "Address", "User", "Password"
        qsizetype length = 0;
        int width = 0;
    };
    // The values longer than their fields, in record order.
    QList<Overlong> overlongFields() const;
    // This record with every text value cut to its field's width, as connect.dat stores it.
    ConnectionRecord cutToWidths() const;

    // std::nullopt unless bytes is exactly one record. Passive is true only for "Y".
    static std::optional<ConnectionRecord> read(QByteArrayView bytes);
    // The record bytes, or std::nullopt with *error set (too long, not storable).
    std::optional<QByteArray> write(QString* error) const;
};

class ProfileStore final {
public:
    static constexpr auto kFileName = "connect.dat";
    static constexpr auto kTmpName = "connect.tmp";

    explicit ProfileStore(QString appDir) : m_appDir(std::move(appDir)) {}

    QString path() const { return m_appDir + QLatin1String(kFileName); }
    QString tmpPath() const { return m_appDir + QLatin1String(kTmpName); }

    keys::StoreStatus ensureExists() const { return keys::recordfile::ensureExists(path()); }

    struct Listing {
        QStringList names;  // trimmed, file order, duplicates included
        QString error;
    };
    Listing names() const;

    // The last record whose trimmed name equals name exactly (case counts).
    std::optional<ConnectionRecord> find(const QString& name) const;

    // Writes over the first record whose trimmed name equals record.name exactly, else appends.
    keys::StoreStatus save(const ConnectionRecord& record) const;

    // Drops every record whose trimmed name equals name; rewritten through connect.tmp.
    keys::StoreStatus remove(const QString& name) const;

private:
    QString m_appDir;
};

}  // namespace zephra::app
