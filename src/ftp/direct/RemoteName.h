#pragma once
// Server paths on the direct route: the server's own bytes, joined and taken apart here and
// nowhere else. An absolute path starts with "/"; a relative one is relative to the login
// directory.

#include <QByteArray>

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

}  // namespace zephra::ftp::direct
