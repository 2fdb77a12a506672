#pragma once
// Server paths on the direct route: the server's own bytes, joined and taken apart here and
// nowhere else. An absolute path starts with "/"; a relative one is relative to the login
// directory.

#include <QByteArray>
#include <QString>

namespace zephra::ftp::direct {

// The path of entry name inside directory: "/pub" + "a b" gives "/pub/a b", "/" + "a" gives
// "/a", "/pub/" + "a" gives "/pub/a", "" + "a" gives "a" (relative: in the login directory).
QByteArray childPath(const QByteArray& directory, const QByteArray& name);

// The directory above an absolute path: "/pub/a" gives "/pub", "/pub" and "/pub/" give "/",
// "/" stays "/". A relative path loses its last part ("a/b" gives "a", "a" gives "", the login
// directory).
QByteArray parentPath(const QByteArray& path);

// Where a step leads from the directory current (an absolute path the server confirmed): ".."
// to its parent, "." to itself, an absolute path to that path, any other name to the entry of
// that name inside current. Trailing slashes go ("/pub/" is "/pub"), except the root's.
QByteArray resolveDirectory(const QByteArray& current, const QByteArray& step);

// Earlier text-based helpers, for callers still holding names as text (encoded as UTF-8 when
// sent). New code uses the byte functions above.
//
// The remote name of an entry N shown in the server directory serverPath: N itself when
// serverPath is empty or "/" (both stand for the login directory), otherwise serverPath, a "/"
// unless serverPath already ends with one, and N.
QString remoteName(const QString& serverPath, const QString& name);
// The directory to list for serverPath: empty (the login directory) for "/" and empty text,
// serverPath itself otherwise.
QString listingDirectory(const QString& serverPath);

}  // namespace zephra::ftp::direct
