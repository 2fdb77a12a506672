#pragma once
// Directory listings as servers send them on the data connection, parsed line by line, so one
// listing (or the listing work file) may hold either kind:
//   - MLSD lines (RFC 3659 section 7: "type=file;size=12;modify=20240101120000; name"), exact;
//   - LIST lines: Unix "ls -l" in its common shapes (month names of European languages, ISO
//     dates, an inode or block-count column first), DOS/IIS lines, and the short "d name" /
//     "- name" form;
//   - any other line: kept by the rule "the name is what follows the last blank", marked guessed.
// Pure functions, shared by the command-line tool, both routes and the server browser.
// Reading list: RFC 959 (LIST), RFC 3659 (MLSD and its facts).

#include <QByteArray>
#include <QByteArrayView>
#include <QDateTime>
#include <QList>
#include <QString>
#include <optional>

namespace zephra::ftp {

// How a name the server sent is shown: UTF-8 where the bytes are valid UTF-8, else
// Windows-1252 (older servers and Windows clients write Latin-1 names: "caf\xe9.txt").
// Only for showing: every command about an entry sends its raw bytes back unchanged.
QString decodeServerName(QByteArrayView bytes);

struct ListingEntry {
    QString name;              // decodeServerName(rawName)
    QByteArray rawName;        // the exact bytes the server sent; commands about the entry send these
    bool isDirectory = false;
    bool isSymLink = false;    // whether it leads to a directory is not known (the server decides
                               // when asked to change into it)
    QString linkTarget;        // decoded target of a symbolic link; empty when the server named none
    QByteArray rawLinkTarget;
    qint64 size = -1;          // -1: not given
    QDateTime modified;        // invalid: not given; held as UTC, see modifiedIsUtc
    // true: modified is a true UTC time (MLSD, or a LIST date with its zone offset). false: the
    // server's wall-clock reading held as UTC (a listing without a zone; converting it would
    // cost a zone lookup a line and guess the server's zone anyway).
    bool modifiedIsUtc = false;
    // No known line shape explained the line: the name is what follows its last blank and a
    // line starting with "d" is a directory. Shown as such, never dropped.
    bool guessed = false;
};

// One line without its line end (a trailing CR is ignored). Nothing for blank lines, "total N"
// (also as localised ls prints it: "insgesamt 12") and MLSD's own entries for the directory
// itself and its parent (type=cdir, type=pdir). today: the date against which a Unix line
// without a year ("Jan 01 10:00") is placed.
std::optional<ListingEntry> parseListingLine(QByteArrayView line, QDate today = QDate::currentDate());

// A whole listing; CRLF and LF-only line ends both work.
QList<ListingEntry> parseListing(QByteArrayView listing, QDate today = QDate::currentDate());

// Whether a server-supplied name may become part of a local path: not empty, not "." or "..",
// no "/" or "\", no control characters. Entries failing this are never offered for download.
bool isSafeLocalName(const QString& name);

}  // namespace zephra::ftp
