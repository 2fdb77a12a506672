#pragma once
// Internal to the listing parser: the pieces Listing.cpp dispatches a line to.

#include <QByteArrayView>
#include <QDate>

#include <optional>

#include "ftp/Listing.h"

namespace zephra::ftp::listing {

struct Token {
    qsizetype begin;
    qsizetype end;
};

// Up to maxTokens blank-separated fields, as offsets into the line.
QList<Token> tokenize(QByteArrayView line, int maxTokens);
bool allDigits(QByteArrayView text);
// A size field of any line shape: its number, or -1 (not given) when it is no number or does not
// fit in 64 bits ("size=99999999999999999999" read as 0 bytes before).
qint64 sizeField(QByteArrayView text);
void setName(ListingEntry& entry, QByteArrayView bytes);
// The digits after a seconds' decimal point ("5", "123456789") as whole milliseconds.
int milliseconds(QByteArrayView fraction);

enum class MlsdLine { NotMlsd, NotAnEntry, Entry };
// "fact=value;...; name" (RFC 3659 7.2): recognised by its facts, whatever the other lines are.
MlsdLine parseMlsdLine(QByteArrayView line, ListingEntry* entry);

// An "ls -l" line, also with an inode number or block count first (ls -i, ls -s). Nothing when
// the line does not have that shape.
std::optional<ListingEntry> parseUnixLine(QByteArrayView line, QDate today);

// "total 24" as ls prints it before the entries, in English or a European language.
bool isTotalLine(QByteArrayView line);

}  // namespace zephra::ftp::listing
