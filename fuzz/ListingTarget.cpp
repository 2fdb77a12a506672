// The listing parser: a whole listing (LIST or MLSD output, or the listing work file) must parse
// to what its lines parse to one at a time, whatever its bytes, and every entry's shown name is
// the decoding of its bytes; the input's first line, as a name in every line shape, must come
// back as exactly its bytes. The direct route's reader and the safe-name check run too.

#include "FuzzTarget.h"

#include "ftp/Listing.h"
#include "ftp/direct/DirectListing.h"

#include <QByteArrayView>
#include <QDate>

#include <cstdio>

using namespace zephra::ftp;

namespace {

// The size a listing's size field stands for: its value, or -1 when it is no number or too big.
qint64 expectedSize(const QByteArray& digits)
{
    bool ok = false;
    const qint64 value = digits.toLongLong(&ok);
    return ok ? value : -1;
}

// Any name, written into a line of every shape servers write, comes back as exactly its bytes,
// with the size and type the line gives.
void checkNameRoundTrip(QByteArrayView input, QDate today)
{
    QByteArray name = input.first(qMax<qsizetype>(0, input.indexOf('\n'))).toByteArray();
    if (input.indexOf('\n') < 0)
        name = input.toByteArray();
    if (name.isEmpty() || name.endsWith('\r') || name.trimmed().isEmpty())
        return;  // a line end, or nothing the line could carry
    // Size digits from the input, up to 24 of them, so some overflow a 64-bit number.
    QByteArray digits;
    for (qsizetype i = 0; i < input.size() && digits.size() < 1 + std::uint8_t(input[0]) % 24; ++i)
        digits += char('0' + std::uint8_t(input[i]) % 10);
    const qint64 size = expectedSize(digits);
    struct Shape {
        QByteArray line;
        bool directory;
        qint64 size;
    };
    QList<Shape> shapes = {
        {"-rw-r--r--    1 ftp      ftp      " + digits + " Dec 07 00:30 " + name, false, size},
        {"drwxr-xr-x    2 ftp      ftp          4096 Jan 01  2020 " + name, true, 4096},
        {"type=file;size=" + digits + ";modify=20240101120000; " + name, false, size},
        {"type=dir;modify=20240101120000.5; " + name, true, -1},
        {"- " + name, false, -1},
        {"d " + name, true, -1},
    };
    // IIS pads its columns with blanks: a name cannot start with one there.
    if (!name.startsWith(' ')) {
        shapes.append({"12-31-23  11:59PM  " + digits + " " + name, false, size});
        shapes.append({"01-01-24  10:00AM       <DIR>          " + name, true, -1});
    }
    for (const Shape& shape : shapes) {
        const auto entry = parseListingLine(shape.line, today);
        if (!entry || entry->rawName != name || entry->isDirectory != shape.directory || entry->size != shape.size
            || entry->guessed) {
            std::fprintf(stderr, "line \"%s\" read as %s\n", shape.line.constData(),
                         entry ? qPrintable(QStringLiteral("\"%1\" size %2%3").arg(QString::fromLatin1(entry->rawName))
                                                .arg(entry->size)
                                                .arg(entry->guessed ? QStringLiteral(", guessed") : QString()))
                               : "nothing");
            FUZZ_CHECK(!"a name or size did not come back");
        }
    }
}

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

    checkNameRoundTrip(listing, today);

    const QByteArray raw = listing.toByteArray();
    const auto direct = direct::parseDirectListing(raw);
    FUZZ_CHECK(direct.size() <= whole.size());
    return 0;
}
