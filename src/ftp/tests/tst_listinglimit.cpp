// The listing limit as both routes and the work file's reader apply it, piece by piece.
#include "ftp/ListingLimit.h"

#include <QByteArray>
#include <gtest/gtest.h>

using namespace zephra::ftp;

namespace {

// Feeds `count` copies of piece; whether the meter still accepts the listing after the last.
bool acceptsRepeated(ListingMeter& meter, const QByteArray& piece, qint64 count)
{
    bool accepted = true;
    for (qint64 i = 0; i < count; ++i)
        accepted = meter.add(piece);
    return accepted;
}

}  // namespace

TEST(ListingMeter, RefusesTheFirstPieceOverEitherLimit)
{
    const QByteArray mebibyte(1024 * 1024, 'x');
    const QByteArray thousandLines = QByteArray("- a\n").repeated(1000);
    struct Row {
        const char* name;
        QByteArray piece;
        qint64 count;
        bool accepted;
    };
    const Row rows[] = {
        {"exactly the byte limit", mebibyte, kMaxListingBytes / mebibyte.size(), true},
        {"one piece over the byte limit", mebibyte, kMaxListingBytes / mebibyte.size() + 1, false},
        {"exactly the line limit", thousandLines, kMaxListingLines / 1000, true},
        // Guards the fault the limit exists for: 60 MiB of "- a" lines parsed to 3 GB of entries.
        {"short lines over the line limit", thousandLines, kMaxListingLines / 1000 + 1, false},
        {"one long line", QByteArray(64 * 1024, 'x') + '\n', 16, true},
    };
    for (const Row& row : rows) {
        ListingMeter meter;
        EXPECT_EQ(acceptsRepeated(meter, row.piece, row.count), row.accepted) << row.name;
    }
    // Once refused, the listing stays refused.
    ListingMeter meter;
    EXPECT_FALSE(meter.add(QByteArray("\n").repeated(kMaxListingLines + 1)));
    EXPECT_FALSE(meter.add("d b\n"));
}

TEST(ListingMeter, MessageNamesTheActionAndBothLimits)
{
    EXPECT_EQ(listingTooLargeMessage(QStringLiteral("list /pub")),
              QStringLiteral("Cannot list /pub: the listing is larger than 64 MiB or longer than 2000000 lines."));
}
