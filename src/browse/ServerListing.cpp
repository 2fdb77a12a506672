#include "browse/ServerListing.h"

#include <QHash>

#include "ftp/Listing.h"

namespace zephra::browse {

namespace {

// A true UTC time as the local wall clock. The zone's offset is looked up once per hour of UTC
// time met: a lookup per entry costs seconds for 100 000 MLSD lines.
class LocalWallClock {
public:
    qint64 key(const QDateTime& utc)
    {
        const qint64 secs = utc.toSecsSinceEpoch();
        const qint64 hour = secs >= 0 ? secs / 3600 : (secs - 3599) / 3600;
        auto it = m_offsets.constFind(hour);
        if (it == m_offsets.constEnd())
            it = m_offsets.insert(hour, QDateTime::fromSecsSinceEpoch(hour * 3600, Qt::UTC).toLocalTime().offsetFromUtc());
        return wallClockKey(utc.addSecs(*it));
    }

private:
    QHash<qint64, int> m_offsets;
};

}  // namespace

bool matchesExtensionFilter(const QString& name, const QString& filter)
{
    if (filter.isEmpty() || filter == u"*.*")
        return true;
    return name.endsWith(filter, Qt::CaseSensitive);
}

ServerListing buildServerListing(QByteArrayView listing, const QString& filter, QDate today)
{
    ServerListing out;
    LocalWallClock localClock;
    QList<ftp::ListingEntry> entries = ftp::parseListing(listing, today);
    out.files.reserve(std::size_t(entries.size()));
    for (ftp::ListingEntry& e : entries) {
        if (e.rawName == "." || e.rawName == "..")
            continue;
        const bool offered = ftp::isSafeLocalName(e.name);
        if (e.isDirectory) {
            out.directories.push_back({std::move(e.name), std::move(e.rawName), offered, e.guessed});
            continue;
        }
        if (!matchesExtensionFilter(e.name, filter))
            continue;
        FileRow row;
        row.icon = GetFileIcon(e.name);
        row.name = std::move(e.name);
        row.rawName = std::move(e.rawName);
        row.size = e.size;
        row.modified = e.modifiedIsUtc ? localClock.key(e.modified) : wallClockKey(e.modified);
        row.offered = offered;
        row.guessed = e.guessed;
        row.isLink = e.isSymLink;
        row.linkTarget = std::move(e.linkTarget);
        out.files.push_back(std::move(row));
    }
    return out;
}

}  // namespace zephra::browse
