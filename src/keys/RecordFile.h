#pragma once
// Fixed-length record files with space-padded Windows-1252 text fields (connect.dat, key.dat),
// and the owner-only, flushed-to-disk file handling every store of the program shares.

#include <QByteArray>
#include <QList>
#include <QString>

class QFileDevice;

namespace zephra::keys {

struct [[nodiscard]] StoreStatus {
    bool ok = true;
    QString message;  // one or two sentences, fit for a message box

    static StoreStatus success() { return {}; }
    static StoreStatus failure(QString text) { return {false, std::move(text)}; }
};

// Leading and trailing blanks removed; other white space is data (the stores pad with blanks).
QString trimSpaces(QStringView text);

// Appends value as a width-byte field, padded with blanks. Refuses (false, *error set) a value
// longer than the field or holding a character the code page cannot store; label names the
// field in the message.
bool putField(QByteArray& record, QStringView value, int width, const QString& label, QString* error);

// The field at offset, decoded and trimmed.
QString getField(QByteArrayView record, int offset, int width);

// Makes file and directory entries owner-only (the stores hold passwords and keys).
void setOwnerOnly(const QString& path);
void setOwnerOnlyDir(const QString& path);

// Flushes Qt's buffer and the operating system's cache of the file to the disk.
bool syncToDisk(QFileDevice& file);

struct RecordList {
    QList<QByteArray> records;
    QString error;  // non-empty: the file could not be read or is damaged
    bool ok() const { return error.isEmpty(); }
};

namespace recordfile {

// Creates an empty owner-only file when none exists; an existing file is not touched.
StoreStatus ensureExists(const QString& path);

// All records of the file; a missing file is an empty list. A length that is not a whole
// number of records is reported as damage (nothing is guessed about the partial record).
RecordList readAll(const QString& path, int recordSize, const QString& storeName);

// Writes one record at index (0-based) in place; index == record count appends.
StoreStatus writeAt(const QString& path, int recordSize, qsizetype index, const QByteArray& record);

// Replaces the file by records: written to tmpPath (a stale tmpPath is discarded first),
// flushed to disk, then renamed over path, so a crash leaves the old or the new file whole.
StoreStatus rewrite(const QString& path, const QString& tmpPath, const QList<QByteArray>& records);

}  // namespace recordfile

}  // namespace zephra::keys
