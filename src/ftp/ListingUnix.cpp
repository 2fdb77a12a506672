// "ls -l" lines in the shapes servers pass on from ls: the classic date ("Jan 01 10:00",
// "Jan 1 2020"), localised ls ("6. Dez 08:00", "6 déc. 2020", "янв 6 10:00"), ISO dates
// (--time-style=long-iso and full-iso, which names the zone), and an inode number or block
// count before the mode (ls -i, ls -s, both).
#include <QHash>
#include <QStringList>

#include "ftp/ListingLines.h"

namespace zephra::ftp::listing {

namespace {

// Month abbreviations as ls prints them (the C library's %b), lower case, a trailing "." left
// off: English, German, French, Spanish, Italian, Portuguese, Dutch, the Scandinavian languages,
// Finnish, Polish, Czech, Hungarian, Greek, Russian, Ukrainian and Turkish. No two languages
// use one abbreviation for different months.
const QHash<QString, int>& monthNames()
{
    static const QHash<QString, int> table = [] {
        const char* const months[12] = {
            "jan janv janvier jän ene gen sty led tammi tammik ian oca ιαν янв січ",
            "feb febr févr fév fev lut úno helmi helmik şub φεβ фев лют",
            "mar mär mrz mrt mars márc maalis maalisk bře μάρ мар бер",
            "apr avr avril abr april kwi dub huhti huhtik ápr nis απρ апр кві",
            "may mai mag mei maj máj kvě touko toukok μάι мая май тра",
            "jun juin juni giu jún cze čen kesä kesäk haz iun ιούν июн чер",
            "jul juil juli lug júl lip čec heinä heinäk tem iul ιούλ июл лип",
            "aug août aoû ago sie srp elo elok ağu αύγ авг сер",
            "sep sept set wrz zář syys syysk szept eyl σεπ сен вер",
            "oct okt ott out paź říj loka lokak eki οκτ окт жов",
            "nov lis marras marrask kas νοέ ноя лис",
            "dec dez déc dic des gru pro joulu jouluk ara δεκ дек гру",
        };
        QHash<QString, int> t;
        for (int m = 0; m < 12; ++m) {
            for (const QString& name : QString::fromUtf8(months[m]).split(u' '))
                t.insert(name, m + 1);
        }
        return t;
    }();
    return table;
}

int monthNumber(QByteArrayView text)
{
    if (text.endsWith('.'))
        text.chop(1);
    if (text.isEmpty() || text.size() > 16 || (text[0] >= '0' && text[0] <= '9'))
        return 0;
    // Localised ls writes the month in the server's own encoding: UTF-8 or a Latin code page.
    return monthNames().value(decodeServerName(text).toLower(), 0);
}

// 1 to 31, as "6", "06" or "6." (German, Czech and Hungarian ls put a dot after the day).
int dayNumber(QByteArrayView text)
{
    if (text.endsWith('.'))
        text.chop(1);
    if (text.size() > 2 || !allDigits(text))
        return 0;
    const int day = text.toInt();
    return day <= 31 ? day : 0;
}

bool isModeField(QByteArrayView token)
{
    if (token.size() < 10 || !QByteArrayView("-dlbcpsD").contains(token[0]))
        return false;
    for (char c : token.sliced(1, 9)) {
        if (!QByteArrayView("-rwxsStTlL?").contains(c))
            return false;
    }
    return true;
}

// An inode number or block count ("8", "4.0K" from ls -sh).
bool isCountField(QByteArrayView token)
{
    if (token.isEmpty() || token[0] < '0' || token[0] > '9')
        return false;
    if (QByteArrayView("KMGTPkmgtp").contains(token.back()))
        token.chop(1);
    for (char c : token) {
        if ((c < '0' || c > '9') && c != '.' && c != ',')
            return false;
    }
    return true;
}

// Two digits, 0..99.
int twoDigits(QByteArrayView text)
{
    return text.size() == 2 && allDigits(text) ? text.toInt() : -1;
}

// "9:05", "09:05", "09:05:07", "09:05:07.123456789"; invalid for anything else.
QTime clockTime(QByteArrayView text)
{
    const qsizetype colon = text.indexOf(':');
    if (colon < 1 || colon > 2 || !allDigits(text.first(colon)) || text.size() < colon + 3)
        return {};
    const int hour = text.first(colon).toInt();
    const int minute = twoDigits(text.sliced(colon + 1, 2));
    QByteArrayView rest = text.sliced(colon + 3);
    int second = 0;
    int ms = 0;
    if (!rest.isEmpty()) {
        if (rest.size() < 3 || rest[0] != ':' || (second = twoDigits(rest.sliced(1, 2))) < 0)
            return {};
        rest = rest.sliced(3);
        if (!rest.isEmpty()) {
            if (rest[0] != '.' || !allDigits(rest.sliced(1)))
                return {};
            ms = milliseconds(rest.sliced(1));
        }
    }
    return minute < 0 ? QTime() : QTime(hour, minute, second, ms);
}

// "+0100", "-0530": seconds east of UTC.
std::optional<int> zoneOffset(QByteArrayView text)
{
    if (text.size() != 5 || (text[0] != '+' && text[0] != '-') || !allDigits(text.sliced(1)))
        return std::nullopt;
    const int minutes = text.sliced(1, 2).toInt() * 60 + text.sliced(3, 2).toInt();
    return (text[0] == '-' ? -minutes : minutes) * 60;
}

// A date without a year lies within the last year (ls prints the year of older files).
QDate placeInLastYear(int month, int day, QDate today)
{
    QDate date(today.year(), month, day);
    if (date.isValid() && date > today.addDays(1))
        date = QDate(today.year() - 1, month, day);
    return date;
}

struct Stamp {
    QDateTime when;     // invalid when the fields were a date in shape but not in value
    bool utc = false;
    int lastToken = 0;  // the date's last field; the name follows it
};

// The blank-separated fields of a line.
struct Fields {
    QByteArrayView line;
    QList<Token> tokens;

    int count() const { return int(tokens.size()); }
    QByteArrayView operator()(int i) const { return line.sliced(tokens[i].begin, tokens[i].end - tokens[i].begin); }
};

// The date fields starting at field m, in any of the shapes above.
std::optional<Stamp> dateAt(const Fields& view, int m, QDate today)
{
    const int count = view.count();
    const QByteArrayView first = view(m);
    // ISO: "2024-01-01 12:00[:00[.000000000] +0100]", and --time-style=iso's "01-31 12:00".
    if (first.size() == 10 && first[4] == '-' && first[7] == '-') {
        const QDate date = QDate::fromString(QString::fromLatin1(first), QStringLiteral("yyyy-MM-dd"));
        if (!date.isValid())
            return std::nullopt;
        Stamp stamp{QDateTime(date, QTime(0, 0), Qt::UTC), false, m};
        const QTime time = m + 1 < count ? clockTime(view(m + 1)) : QTime();
        if (time.isValid()) {
            stamp.when.setTime(time);
            stamp.lastToken = m + 1;
            if (const auto offset = m + 2 < count ? zoneOffset(view(m + 2)) : std::nullopt) {
                stamp.when = QDateTime(date, time, Qt::OffsetFromUTC, *offset).toUTC();
                stamp.utc = true;
                stamp.lastToken = m + 2;
            }
        }
        return stamp;
    }
    if (first.size() == 5 && first[2] == '-' && m + 1 < count) {
        const QTime time = clockTime(view(m + 1));
        const QDate date = QDate::fromString(QString::fromLatin1(first), QStringLiteral("MM-dd"));
        if (!time.isValid() || !date.isValid())
            return std::nullopt;
        return Stamp{QDateTime(placeInLastYear(date.month(), date.day(), today), time, Qt::UTC), false, m + 1};
    }
    if (m + 2 >= count)
        return std::nullopt;
    // "Jan 01 10:00" / "Jan 1 2020" (month first) or "6. Dez 08:00" / "6 déc. 2020" (day first).
    int month = monthNumber(first);
    int day = month ? dayNumber(view(m + 1)) : 0;
    if (!day) {
        day = dayNumber(first);
        month = day ? monthNumber(view(m + 1)) : 0;
    }
    if (!month || !day)
        return std::nullopt;
    const QByteArrayView yearOrTime = view(m + 2);
    if (yearOrTime.size() == 4 && allDigits(yearOrTime))
        return Stamp{QDateTime(QDate(yearOrTime.toInt(), month, day), QTime(0, 0), Qt::UTC), false, m + 2};
    const QTime time = clockTime(yearOrTime);
    if (!time.isValid())
        return std::nullopt;
    return Stamp{QDateTime(placeInLastYear(month, day, today), time, Qt::UTC), false, m + 2};
}

// "drwxr-xr-x 2 owner group 4096 Jan 01 10:00 name with blanks"; the group may be missing
// ("-rw-r--r-- 1 owner 1234 Jan 1 2020 name"), so the date is found by its shape, right after
// the size.
std::optional<ListingEntry> parseLongLine(QByteArrayView line, QDate today)
{
    const Fields view{line, tokenize(line, 14)};
    for (int m = 3; m < view.count(); ++m) {
        if (!allDigits(view(m - 1)))
            continue;
        const std::optional<Stamp> stamp = dateAt(view, m, today);
        if (!stamp)
            continue;
        // The name is everything after the one blank that follows the date field.
        const qsizetype nameStart = view.tokens[stamp->lastToken].end + 1;
        if (nameStart >= line.size())
            return std::nullopt;
        ListingEntry entry;
        QByteArrayView name = line.sliced(nameStart);
        entry.isDirectory = line[0] == 'd';
        entry.isSymLink = line[0] == 'l';
        if (entry.isSymLink) {
            const qsizetype arrow = name.indexOf(QByteArrayView(" -> "));
            if (arrow >= 0) {
                entry.rawLinkTarget = name.sliced(arrow + 4).toByteArray();
                entry.linkTarget = decodeServerName(entry.rawLinkTarget);
                name = name.first(arrow);
            }
        }
        setName(entry, name);
        entry.size = sizeField(view(m - 1));
        if (stamp->when.isValid()) {
            entry.modified = stamp->when;
            entry.modifiedIsUtc = stamp->utc;
        }
        return entry;
    }
    return std::nullopt;
}

}  // namespace

std::optional<ListingEntry> parseUnixLine(QByteArrayView line, QDate today)
{
    // "1234567 -rw-r--r-- ..." (ls -i), "   8 -rw-r--r-- ..." (ls -s), both: right-aligned.
    QByteArrayView rest = line;
    for (int prefix = 0;; ++prefix) {
        while (rest.startsWith(' '))
            rest = rest.sliced(1);
        const qsizetype blank = rest.indexOf(' ');
        const QByteArrayView first = blank < 0 ? rest : rest.first(blank);
        if (isModeField(first))
            return parseLongLine(rest, today);
        if (prefix == 2 || blank < 0 || !isCountField(first))
            return std::nullopt;
        rest = rest.sliced(blank);
    }
}

bool isTotalLine(QByteArrayView line)
{
    const QList<Token> tokens = tokenize(line, 3);
    if (tokens.size() != 2 || !isCountField(line.sliced(tokens[1].begin, tokens[1].end - tokens[1].begin)))
        return false;
    static const QStringList words = QString::fromUtf8(
        "total insgesamt totale totaal totalt totaali yhteensä razem celkem celkom összesen "
        "σύνολο итого всего усього toplam").split(u' ');
    return words.contains(decodeServerName(line.sliced(tokens[0].begin, tokens[0].end - tokens[0].begin)).toLower());
}

}  // namespace zephra::ftp::listing
