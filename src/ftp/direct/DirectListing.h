#pragma once
// Turns listing output into entries for the direct route. Kept in its own file so the parser behind
// it can be exchanged without touching the session.

#include "ftp/direct/DirectSession.h"

#include <QByteArray>
#include <QList>

namespace zephra::ftp::direct {

// Parses a raw listing (CRLF or LF lines). "." and ".." and lines that are no entries
// ("total 12") are left out; names keep their blanks and their bytes (rawName).
QList<DirectEntry> parseDirectListing(const QByteArray& raw);

}  // namespace zephra::ftp::direct
