// The listing parser: a whole listing (LIST or MLSD output, or the listing work file) must parse
// to what its lines parse to one at a time, whatever its bytes, and every entry's shown name is
// the decoding of its bytes; the direct route's reader and the safe-name check run too.

#include "FuzzTarget.h"

#include "ftp/Listing.h"
#include "ftp/direct/DirectListing.h"

#include <QByteArrayView>
#include <QDate>

using namespace zephra::ftp;

namespace {

bool sameEntry(const ListingEntry& a, const ListingEntry& b)
{
    return a.name == b.name && a.rawName == b.rawName && a.isDirectory == b.isDirectory
        && a.isSymLink == b.isSymLink && a.linkTarget == b.linkTarget && a.rawLinkTarget == b.rawLinkTarget
        && a.size == b.size && a.modified == b.modified && a.modifiedIsUtc == b.modifiedIsUtc
        && a.guessed == b.guessed;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const QByteArrayView listing(reinterpret_cast<const char*>(data), qsizetype(size));
    // A fixed day, so an input parses the same way on every run.
    const QDate today(2024, 6, 15);
    const QList<ListingEntry> whole = parseListing(listing, today);

    qsizetype next = 0;
    qsizetype start = 0;
    while (start < listing.size()) {
        qsizetype end = listing.indexOf('\n', start);
        if (end < 0)
            end = listing.size();
        const QByteArrayView line = listing.sliced(start, end - start);
        if (const auto entry = parseListingLine(line, today)) {
            FUZZ_CHECK(next < whole.size());
            FUZZ_CHECK(sameEntry(*entry, whole[next]));
            ++next;
            // The raw name and link target are bytes of the line itself; what is shown is decoded
            // from them.
            FUZZ_CHECK(line.contains(QByteArrayView(entry->rawName)));
            FUZZ_CHECK(line.contains(QByteArrayView(entry->rawLinkTarget)));
            FUZZ_CHECK(entry->name == decodeServerName(entry->rawName));
            FUZZ_CHECK(entry->linkTarget == decodeServerName(entry->rawLinkTarget));
            FUZZ_CHECK(entry->name.size() <= entry->rawName.size());
            FUZZ_CHECK(entry->size >= -1);
            FUZZ_CHECK(!entry->rawName.contains('\n'));
            (void)isSafeLocalName(entry->name);
        }
        start = end + 1;
    }
    FUZZ_CHECK(next == whole.size());

    const QByteArray raw = listing.toByteArray();
    const auto direct = direct::parseDirectListing(raw);
    FUZZ_CHECK(direct.size() <= whole.size());
    return 0;
}
