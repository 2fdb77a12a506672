#pragma once
// The rows of the local file list, read from one directory.

#include <QString>

#include <vector>

#include "browse/FileListModel.h"

namespace zephra::browse {

// The directory's files as the platform lists them (no hidden files, sorted by name), with size
// and modification time; `filter` keeps names ending with it ("*.*" or empty keeps all).
std::vector<FileRow> readLocalFiles(const QString& directory, const QString& filter = {});

}  // namespace zephra::browse
