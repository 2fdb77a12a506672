#pragma once
// Turns the listing work file (the server's raw LIST or MLSD output, or "d "/"- " lines) into
// the contents of the server tree and the server file list.

#include <QByteArray>
#include <QByteArrayView>
#include <QDate>
#include <QString>

#include <vector>

#include "browse/FileListModel.h"

namespace zephra::browse {

struct ServerDirectory {
    QString name;          // as shown (ftp::decodeServerName)
    QByteArray rawName;    // the server's exact bytes: CWD, RMD, RNFR send these
    bool offered = true;   // false: a hostile name (separator, control character): greyed, unusable
    bool guessed = false;  // the listing line had no known shape (ftp::ListingEntry::guessed)
};

struct ServerListing {
    std::vector<ServerDirectory> directories;  // file order; "." and ".." left out
    std::vector<FileRow> files;                // file order; symbolic links are here, marked isLink
};

// An empty filter or "*.*" keeps every file; any other keeps the names ending with it
// (case-sensitive). Directories are never filtered.
bool matchesExtensionFilter(const QString& name, const QString& filter);

// Parses with the shared listing parser; `today` places Unix dates that carry no year. A true
// UTC time (MLSD) is shown as the local wall clock; a LIST date as the server wrote it.
ServerListing buildServerListing(QByteArrayView listing, const QString& filter = {},
                                 QDate today = QDate::currentDate());

}  // namespace zephra::browse
