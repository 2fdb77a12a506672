#include "ftp/direct/DirectListing.h"

#include "ftp/Listing.h"

namespace zephra::ftp::direct {

QList<DirectEntry> parseDirectListing(const QByteArray& raw)
{
    // The engine route's parser, so both routes show a listing the same way.
    QList<DirectEntry> entries;
    for (const ListingEntry& e : parseListing(raw)) {
        if (e.name.isEmpty() || e.name == QLatin1String(".") || e.name == QLatin1String(".."))
            continue;
        DirectEntry d;
        d.name = e.name;
        d.rawName = e.rawName;
        d.linkTarget = e.linkTarget;
        d.isDirectory = e.isDirectory;
        d.isLink = e.isSymLink;
        d.size = e.size;
        d.modified = e.modified;
        d.guessed = e.guessed;
        // A true UTC time (MLSD) is shown in local time, a listing's wall-clock reading as written.
        if (e.modified.isValid())
            d.dateText = (e.modifiedIsUtc ? e.modified.toLocalTime() : e.modified).toString(QStringLiteral("yyyy-MM-dd HH:mm"));
        entries.append(d);
    }
    return entries;
}

}  // namespace zephra::ftp::direct
