#include "ftp/Listing.h"

#include <QStringDecoder>

#include <array>

#include "ftp/ListingLines.h"

namespace zephra::ftp {

namespace {

// Windows-1252 bytes 0x80..0x9F; every other byte is the Latin-1 character of the same value.
// The five bytes the code page leaves undefined decode to the control character of that value.
constexpr std::array<char16_t, 32> kCp1252High = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,  // 80..87
    0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0x008D, 0x017D, 0x008F,  // 88..8F
    0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,  // 90..97
    0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178,  // 98..9F
};

// "01-01-24  10:00AM       <DIR>          name" and "01-01-24  10:00AM  1234 name".
std::optional<ListingEntry> parseDos(QByteArrayView line)
{
    using namespace listing;
    const QList<Token> tokens = tokenize(line, 3);
    if (tokens.size() < 3)
        return std::nullopt;
    const auto view = [&](int i) { return line.sliced(tokens[i].begin, tokens[i].end - tokens[i].begin); };
    const QString dateText = QString::fromLatin1(view(0));
    QDate date = QDate::fromString(dateText, QStringLiteral("MM-dd-yy"));
    if (date.isValid() && date.year() < 1970)
        date = date.addYears(100);
    if (!date.isValid())
        date = QDate::fromString(dateText, QStringLiteral("MM-dd-yyyy"));
    if (!date.isValid())
        return std::nullopt;
    const QString timeText = QString::fromLatin1(view(1)).toUpper();
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
        entry.size = listing::sizeField(sizeField);
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

// A line no known shape explains, by the rule the listing work file was always read with: the
// name is what follows the last blank; a line starting with "d" is a directory.
ListingEntry guess(QByteArrayView line)
{
    while (line.endsWith(' '))
        line.chop(1);
    ListingEntry entry;
    entry.guessed = true;
    entry.isDirectory = line.startsWith('d');
    listing::setName(entry, line.sliced(line.lastIndexOf(' ') + 1));
    return entry;
}

}  // namespace

namespace listing {

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

qint64 sizeField(QByteArrayView text)
{
    bool ok = false;
    const qint64 value = allDigits(text) ? text.toLongLong(&ok) : -1;
    return ok ? value : -1;
}

void setName(ListingEntry& entry, QByteArrayView bytes)
{
    entry.rawName = bytes.toByteArray();
    entry.name = decodeServerName(entry.rawName);
}

int milliseconds(QByteArrayView fraction)
{
    int ms = 0;
    for (int i = 0; i < 3; ++i)
        ms = ms * 10 + (i < fraction.size() ? fraction[i] - '0' : 0);
    return ms;
}

}  // namespace listing

QString decodeServerName(QByteArrayView bytes)
{
    bool ascii = true;
    for (char c : bytes)
        ascii = ascii && static_cast<unsigned char>(c) < 0x80;
    if (ascii)
        return QString::fromLatin1(bytes);
    // ConvertInitialBom: a name that starts with the bytes of a BOM shows them.
    QStringDecoder utf8(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless | QStringDecoder::Flag::ConvertInitialBom);
    QString text = utf8.decode(bytes);
    if (!utf8.hasError())
        return text;
    text.clear();
    text.reserve(bytes.size());
    for (char ch : bytes) {
        const auto b = static_cast<unsigned char>(ch);
        text.append(b >= 0x80 && b < 0xA0 ? QChar(kCp1252High[b - 0x80]) : QChar(b));
    }
    return text;
}

std::optional<ListingEntry> parseListingLine(QByteArrayView line, QDate today)
{
    using namespace listing;
    if (line.endsWith('\r'))
        line.chop(1);
    if (line.trimmed().isEmpty())
        return std::nullopt;
    ListingEntry entry;
    switch (parseMlsdLine(line, &entry)) {
    case MlsdLine::Entry: return entry;
    case MlsdLine::NotAnEntry: return std::nullopt;
    case MlsdLine::NotMlsd: break;
    }
    // The short form: "d name" for a directory, "- name" otherwise; the rest of the line is the name.
    if (line.size() > 2 && (line[0] == 'd' || line[0] == '-') && line[1] == ' ') {
        entry.isDirectory = line[0] == 'd';
        setName(entry, line.sliced(2));
        return entry;
    }
    if (isTotalLine(line))
        return std::nullopt;
    if (auto unix = parseUnixLine(line, today))
        return unix;
    if (line[0] >= '0' && line[0] <= '9') {
        if (auto dos = parseDos(line))
            return dos;
    }
    return guess(line);
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
