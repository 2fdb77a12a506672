#pragma once
// How the server browser's current directory turns into the names the direct route sends.

#include <QString>

namespace zephra::ftp::direct {

// The remote name of an entry N shown in the server directory serverPath: N itself when
// serverPath is empty or "/" (both stand for the login directory), otherwise serverPath, a "/"
// unless serverPath already ends with one, and N. "pub" + "a" gives "pub/a"; "/pub/" + "a" gives
// "/pub/a".
QString remoteName(const QString& serverPath, const QString& name);

// The directory to list for serverPath: empty (the login directory) for "/" and empty text,
// serverPath itself otherwise.
QString listingDirectory(const QString& serverPath);

}  // namespace zephra::ftp::direct
