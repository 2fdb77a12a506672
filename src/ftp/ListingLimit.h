#pragma once
// The one limit on a directory listing, shared by both routes and every reader of the listing
// work file: a hostile server could otherwise fill the memory with an endless LIST.

#include <QByteArrayView>
#include <QString>
#include <QtGlobal>

namespace zephra::ftp {

inline constexpr qint64 kMaxListingBytes = 64LL * 1024 * 1024;

// Every line becomes an entry of some 250 bytes however short the line is, so the byte limit
// alone does not bound a parsed listing: 60 MiB of "- a" lines made 12 million entries and 3 GB.
// Two million lines is what 64 MiB of the shortest "ls -l" lines (about 34 bytes) hold, so an
// honest listing meets the byte limit first.
inline constexpr qint64 kMaxListingLines = 2000000;

// "Cannot list /pub: the listing is larger than 64 MiB or longer than 2000000 lines." — what is
// the action, e.g. "list /pub".
inline QString listingTooLargeMessage(const QString& what)
{
    return QStringLiteral("Cannot %1: the listing is larger than %2 MiB or longer than %3 lines.")
        .arg(what)
        .arg(kMaxListingBytes / (1024 * 1024))
        .arg(kMaxListingLines);
}

// Measures a listing as it arrives, piece by piece, against both limits.
class ListingMeter final {
public:
    // False once the listing, with this piece, is over a limit: refuse it then.
    [[nodiscard]] bool add(QByteArrayView piece)
    {
        m_bytes += piece.size();
        m_lines += piece.count('\n');
        return m_bytes <= kMaxListingBytes && m_lines <= kMaxListingLines;
    }

private:
    qint64 m_bytes = 0;
    qint64 m_lines = 0;
};

}  // namespace zephra::ftp
