#pragma once
// How local paths are built from a directory and a list row, and the guard that keeps names
// supplied by a server from ever addressing anything outside the chosen local directory.

#include <QString>

#include <optional>

namespace zephra::browse {

// The directory, the separator and the row's text, with every run of separators reduced to one
// (so a root directory does not give two). A leading "\\" of a Windows network path is kept.
// `separator` is the platform's (QDir::separator()) unless a test asks for the other one.
QChar defaultSeparator();
QString localFilePath(const QString& directory, const QString& rowText,
                      QChar separator = defaultSeparator());

// Collapses runs of `separator` to one, keeping a leading double separator when the separator
// is "\" (a network path).
QString collapseSeparators(const QString& path, QChar separator);

// The local path for downloading the server entry `name` into `directory`, or nothing when the
// name holds "/" or "\\", is "." or "..", is empty or holds control characters: a hostile
// listing must not write outside the chosen directory.
std::optional<QString> localTargetForServerName(const QString& directory, const QString& name,
                                                QChar separator = defaultSeparator());

}  // namespace zephra::browse
