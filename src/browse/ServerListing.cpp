#include "browse/ServerListing.h"

#include "ftp/Listing.h"

namespace zephra::browse {

bool matchesExtensionFilter(const QString& name, const QString& filter)
{
    if (filter.isEmpty() || filter == u"*.*")
        return true;
    return name.endsWith(filter, Qt::CaseSensitive);
}

ServerListing buildServerListing(QByteArrayView listing, const QString& filter, QDate today)
{
    ServerListing out;
    QList<ftp::ListingEntry> entries = ftp::parseListing(listing, today);
    out.files.reserve(std::size_t(entries.size()));
    for (ftp::ListingEntry& e : entries) {
        if (e.rawName == "." || e.rawName == "..")
            continue;
        const bool offered = ftp::isSafeLocalName(e.name);
        if (e.isDirectory) {
            out.directories.push_back({std::move(e.name), std::move(e.rawName), offered});
            continue;
        }
        if (!matchesExtensionFilter(e.name, filter))
            continue;
        FileRow row;
        row.icon = GetFileIcon(e.name);
        row.name = std::move(e.name);
        row.rawName = std::move(e.rawName);
        row.size = e.size;
        row.modified = wallClockKey(e.modified);
        row.offered = offered;
        out.files.push_back(std::move(row));
    }
    return out;
}

}  // namespace zephra::browse
