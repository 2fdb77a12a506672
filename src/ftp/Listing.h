#pragma once
// Directory listings as servers send them on the data connection (the LIST output), parsed by
// their format: Unix "ls -l" lines, DOS/IIS lines and the short "d name" / "- name" form.
// Pure functions, shared by the command-line tool and the server browser.

#include <QByteArray>
#include <QByteArrayView>
#include <QDateTime>
#include <QList>
#include <QString>
#include <optional>

namespace zephra::ftp {

struct ListingEntry {
    QString name;          // UTF-8 where the bytes are valid UTF-8, else one character per byte
    QByteArray rawName;    // the exact bytes the server sent
    bool isDirectory = false;
    bool isSymLink = false;
    QString linkTarget;    // "name -> target" of a symbolic link
    qint64 size = -1;      // -1: not given
    QDateTime modified;    // invalid: not given; the server's wall-clock time, held as UTC
                           // (a listing names no zone, and local time costs a zone lookup a line)
};

// One line without its line end. Nothing for "total N", blank lines and lines that are not entries.
// today: the date against which a Unix line without a year ("Jan 01 10:00") is placed.
std::optional<ListingEntry> parseListingLine(QByteArrayView line, QDate today = QDate::currentDate());

// A whole listing; CRLF and LF-only line ends both work.
QList<ListingEntry> parseListing(QByteArrayView listing, QDate today = QDate::currentDate());

// Whether a server-supplied name may become part of a local path: not empty, not "." or "..",
// no "/" or "\", no control characters. Entries failing this are never offered for download.
bool isSafeLocalName(const QString& name);

}  // namespace zephra::ftp
