#pragma once
// The one limit on a directory listing, shared by both routes and every reader of the listing
// work file: a hostile server could otherwise fill the memory with an endless LIST.

#include <QString>
#include <QtGlobal>

namespace zephra::ftp {

inline constexpr qint64 kMaxListingBytes = 64LL * 1024 * 1024;

// "Cannot list /pub: the listing is larger than 64 MiB." — what is the action, e.g. "list /pub".
inline QString listingTooLargeMessage(const QString& what)
{
    return QStringLiteral("Cannot %1: the listing is larger than %2 MiB.").arg(what).arg(kMaxListingBytes / (1024 * 1024));
}

}  // namespace zephra::ftp
