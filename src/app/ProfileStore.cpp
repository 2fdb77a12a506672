#include "app/ProfileStore.h"

namespace zephra::app {

using keys::StoreStatus;
namespace recordfile = keys::recordfile;

namespace {
const QString kStoreName = QStringLiteral("The connection file connect.dat");
}

std::optional<ConnectionRecord> ConnectionRecord::read(QByteArrayView bytes)
{
    if (bytes.size() != kSize)
        return std::nullopt;
    ConnectionRecord r;
    r.name = keys::getField(bytes, 0, kNameWidth);
    r.address = keys::getField(bytes, 80, kAddressWidth);
    r.user = keys::getField(bytes, 160, kUserWidth);
    r.password = keys::getField(bytes, 200, kPasswordWidth);
    r.passive = bytes[kPassiveOffset] == 'Y';
    r.port = keys::getField(bytes, 221, kPortWidth);
    return r;
}

QList<ConnectionRecord::Overlong> ConnectionRecord::overlongFields() const
{
    QList<Overlong> out;
    const std::pair<const QString*, std::pair<const char*, int>> fields[] = {
        {&name, {"Name", kNameWidth}},
        {&address, {"Address", kAddressWidth}},
        {&user, {"User", kUserWidth}},
        {&password, {"Password", kPasswordWidth}},
    };
    for (const auto& [value, field] : fields)
        if (value->size() > field.second)
            out.append({QLatin1String(field.first), value->size(), field.second});
    return out;
}

ConnectionRecord ConnectionRecord::cutToWidths() const
{
    ConnectionRecord r = *this;
    r.name.truncate(kNameWidth);
    r.address.truncate(kAddressWidth);
    r.user.truncate(kUserWidth);
    r.password.truncate(kPasswordWidth);
    return r;
}

std::optional<QByteArray> ConnectionRecord::write(QString* error) const
{
    QByteArray out;
    out.reserve(kSize);
    if (!keys::putField(out, name, kNameWidth, QStringLiteral("connection name"), error)
        || !keys::putField(out, address, kAddressWidth, QStringLiteral("address"), error)
        || !keys::putField(out, user, kUserWidth, QStringLiteral("user name"), error)
        || !keys::putField(out, password, kPasswordWidth, QStringLiteral("password"), error))
        return std::nullopt;
    out.append(passive ? 'Y' : 'N');
    if (!keys::putField(out, port, kPortWidth, QStringLiteral("port"), error))
        return std::nullopt;
    Q_ASSERT(out.size() == kSize);
    return out;
}

ProfileStore::Listing ProfileStore::names() const
{
    Listing out;
    const keys::RecordList list = recordfile::readAll(path(), ConnectionRecord::kSize, kStoreName);
    out.error = list.error;
    for (const QByteArray& bytes : list.records)
        out.names.append(ConnectionRecord::read(bytes)->name);
    return out;
}

std::optional<ConnectionRecord> ProfileStore::find(const QString& name) const
{
    std::optional<ConnectionRecord> found;
    const keys::RecordList list = recordfile::readAll(path(), ConnectionRecord::kSize, kStoreName);
    for (const QByteArray& bytes : list.records) {
        ConnectionRecord r = *ConnectionRecord::read(bytes);
        if (r.name == name)
            found = std::move(r);  // the scan goes on: the last record of that name wins
    }
    return found;
}

StoreStatus ProfileStore::save(const ConnectionRecord& record) const
{
    QString error;
    const auto bytes = record.write(&error);
    if (!bytes)
        return StoreStatus::failure(error);
    const keys::RecordList list = recordfile::readAll(path(), ConnectionRecord::kSize, kStoreName);
    if (!list.ok())
        return StoreStatus::failure(list.error);
    qsizetype target = list.records.size();
    for (qsizetype i = 0; i < list.records.size(); ++i) {
        if (ConnectionRecord::read(list.records[i])->name == record.name) {
            target = i;
            break;
        }
    }
    return recordfile::writeAt(path(), ConnectionRecord::kSize, target, *bytes);
}

StoreStatus ProfileStore::remove(const QString& name) const
{
    const keys::RecordList list = recordfile::readAll(path(), ConnectionRecord::kSize, kStoreName);
    if (!list.ok())
        return StoreStatus::failure(list.error);
    QList<QByteArray> kept;
    for (const QByteArray& bytes : list.records)
        if (ConnectionRecord::read(bytes)->name != name)
            kept.append(bytes);
    return recordfile::rewrite(path(), tmpPath(), kept);
}

}  // namespace zephra::app
