#include "ftp/Listing.h"

#include <QStringDecoder>

namespace zephra::ftp {

namespace {

struct Token {
    qsizetype begin;
    qsizetype end;
};

QList<Token> tokenize(QByteArrayView line, int maxTokens)
{
    QList<Token> tokens;
    qsizetype i = 0;
    while (i < line.size() && tokens.size() < maxTokens) {
        while (i < line.size() && line[i] == ' ')
            ++i;
        if (i >= line.size())
            break;
        const qsizetype begin = i;
        while (i < line.size() && line[i] != ' ')
            ++i;
        tokens.append({begin, i});
    }
    return tokens;
}

bool allDigits(QByteArrayView text)
{
    if (text.isEmpty())
        return false;
    for (char c : text) {
        if (c < '0' || c > '9')
            return false;
    }
    return true;
}

int monthNumber(QByteArrayView text)
{
    static const char* const months[] = {"jan", "feb", "mar", "apr", "may", "jun",
                                         "jul", "aug", "sep", "oct", "nov", "dec"};
    if (text.size() != 3)
        return 0;
    const QByteArray lower = text.toByteArray().toLower();
    for (int i = 0; i < 12; ++i) {
        if (lower == months[i])
            return i + 1;
    }
    return 0;
}

QString decodeName(const QByteArray& bytes)
{
    QStringDecoder utf8(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    QString text = utf8.decode(bytes);
    if (!utf8.hasError())
        return text;
    return QString::fromLatin1(bytes);
}

void setName(ListingEntry& entry, QByteArrayView bytes)
{
    entry.rawName = bytes.toByteArray();
    entry.name = decodeName(entry.rawName);
}

// "drwxr-xr-x 2 owner group 4096 Jan 01 10:00 name with blanks"; the group may be missing
// ("-rw-r--r-- 1 owner 1234 Jan 1 2020 name"), so the date is found by its shape.
std::optional<ListingEntry> parseUnix(QByteArrayView line, QDate today)
{
    const char type = line[0];
    if (!QByteArrayView("-dlbcps").contains(type) || line.size() < 10)
        return std::nullopt;
    const QList<Token> tokens = tokenize(line, 9);
    const auto view = [&](int i) { return line.sliced(tokens[i].begin, tokens[i].end - tokens[i].begin); };
    for (int m = 2; m + 2 < tokens.size(); ++m) {
        const int month = monthNumber(view(m));
        if (!month || !allDigits(view(m - 1)) || !allDigits(view(m + 1)))
            continue;
        const QByteArrayView yearOrTime = view(m + 2);
        const int day = view(m + 1).toInt();
        QDate date;
        QTime time(0, 0);
        if (allDigits(yearOrTime) && yearOrTime.size() == 4) {
            date = QDate(yearOrTime.toInt(), month, day);
        } else if (yearOrTime.size() >= 4 && yearOrTime.contains(':')) {
            time = QTime::fromString(QString::fromLatin1(yearOrTime.toByteArray()), QStringLiteral("H:mm"));
            // Without a year the date lies within the last year (ls prints a year for older files).
            date = QDate(today.year(), month, day);
            if (date.isValid() && date > today.addDays(1))
                date = QDate(today.year() - 1, month, day);
        } else {
            continue;
        }
        // The name is everything after the one blank that follows the date field.
        const qsizetype nameStart = tokens[m + 2].end + 1;
        if (nameStart >= line.size())
            return std::nullopt;
        ListingEntry entry;
        QByteArrayView name = line.sliced(nameStart);
        entry.isDirectory = type == 'd';
        entry.isSymLink = type == 'l';
        if (entry.isSymLink) {
            const qsizetype arrow = name.indexOf(QByteArrayView(" -> "));
            if (arrow >= 0) {
                entry.linkTarget = decodeName(name.sliced(arrow + 4).toByteArray());
                name = name.first(arrow);
            }
        }
        setName(entry, name);
        bool ok = false;
        entry.size = view(m - 1).toLongLong(&ok);
        if (!ok)
            entry.size = -1;
        if (date.isValid() && time.isValid())
            entry.modified = QDateTime(date, time, Qt::UTC);
        return entry;
    }
    return std::nullopt;
}

// "01-01-24  10:00AM       <DIR>          name" and "01-01-24  10:00AM  1234 name".
std::optional<ListingEntry> parseDos(QByteArrayView line)
{
    const QList<Token> tokens = tokenize(line, 3);
    if (tokens.size() < 3)
        return std::nullopt;
    const auto view = [&](int i) { return line.sliced(tokens[i].begin, tokens[i].end - tokens[i].begin); };
    const QString dateText = QString::fromLatin1(view(0).toByteArray());
    QDate date = QDate::fromString(dateText, QStringLiteral("MM-dd-yy"));
    if (date.isValid() && date.year() < 1970)
        date = date.addYears(100);
    if (!date.isValid())
        date = QDate::fromString(dateText, QStringLiteral("MM-dd-yyyy"));
    if (!date.isValid())
        return std::nullopt;
    const QString timeText = QString::fromLatin1(view(1).toByteArray()).toUpper();
    QTime time = QTime::fromString(timeText, QStringLiteral("hh:mmAP"));
    if (!time.isValid())
        time = QTime::fromString(timeText, QStringLiteral("h:mmAP"));
    if (!time.isValid())
        time = QTime::fromString(timeText, QStringLiteral("HH:mm"));
    if (!time.isValid())
        return std::nullopt;
    const QByteArrayView sizeField = view(2);
    ListingEntry entry;
    if (sizeField == QByteArrayView("<DIR>")) {
        entry.isDirectory = true;
    } else if (allDigits(sizeField)) {
        entry.size = sizeField.toLongLong();
    } else {
        return std::nullopt;
    }
    qsizetype nameStart = tokens[2].end;
    while (nameStart < line.size() && line[nameStart] == ' ')
        ++nameStart;
    if (nameStart >= line.size())
        return std::nullopt;
    setName(entry, line.sliced(nameStart));
    entry.modified = QDateTime(date, time, Qt::UTC);
    return entry;
}

}  // namespace

std::optional<ListingEntry> parseListingLine(QByteArrayView line, QDate today)
{
    if (line.endsWith('\r'))
        line.chop(1);
    if (line.isEmpty())
        return std::nullopt;
    // The short form: "d name" for a directory, "- name" otherwise; the rest of the line is the name.
    if (line.size() > 2 && (line[0] == 'd' || line[0] == '-') && line[1] == ' ') {
        ListingEntry entry;
        entry.isDirectory = line[0] == 'd';
        setName(entry, line.sliced(2));
        return entry;
    }
    if (line.startsWith("total ") && allDigits(line.sliced(6).trimmed()))
        return std::nullopt;
    if (line[0] >= '0' && line[0] <= '9')
        return parseDos(line);
    return parseUnix(line, today);
}

QList<ListingEntry> parseListing(QByteArrayView listing, QDate today)
{
    QList<ListingEntry> entries;
    qsizetype start = 0;
    while (start < listing.size()) {
        qsizetype end = listing.indexOf('\n', start);
        if (end < 0)
            end = listing.size();
        if (auto entry = parseListingLine(listing.sliced(start, end - start), today))
            entries.append(std::move(*entry));
        start = end + 1;
    }
    return entries;
}

bool isSafeLocalName(const QString& name)
{
    if (name.isEmpty() || name == QLatin1String(".") || name == QLatin1String(".."))
        return false;
    for (QChar c : name) {
        if (c == u'/' || c == u'\\' || c.unicode() < 0x20 || c.unicode() == 0x7f
            || c.category() == QChar::Other_Control)
            return false;
    }
    return true;
}

}  // namespace zephra::ftp
