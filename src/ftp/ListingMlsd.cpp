// MLSD lines (RFC 3659 section 7): "fact=value;fact=value; name". Fact names are
// case-insensitive (IIS writes "Type=file;Size=12;Modify=20240101120000.123; name"); the name is
// everything after the first blank, exactly; times are UTC.
#include "ftp/ListingLines.h"

namespace zephra::ftp::listing {

namespace {

bool isFactNameChar(char c)
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' || c == '-'
           || c == '_';
}

bool equalsIgnoringCase(QByteArrayView a, QByteArrayView b)
{
    return a.size() == b.size() && qstrnicmp(a.data(), b.data(), a.size()) == 0;
}

bool startsWithIgnoringCase(QByteArrayView text, QByteArrayView prefix)
{
    return text.size() >= prefix.size() && equalsIgnoringCase(text.first(prefix.size()), prefix);
}

// "20240101120000" or "20240101120000.123" (RFC 3659 2.3), UTC.
QDateTime mlsdTime(QByteArrayView text)
{
    const qsizetype dot = text.indexOf('.');
    const QByteArrayView whole = dot < 0 ? text : text.first(dot);
    if (whole.size() != 14 || !allDigits(whole))
        return {};
    const auto number = [&](int from, int size) { return whole.sliced(from, size).toInt(); };
    int ms = 0;
    if (dot >= 0) {
        const QByteArrayView fraction = text.sliced(dot + 1);
        if (!allDigits(fraction))
            return {};
        ms = milliseconds(fraction);
    }
    const QDate date(number(0, 4), number(4, 2), number(6, 2));
    const QTime time(number(8, 2), number(10, 2), number(12, 2), ms);
    if (!date.isValid() || !time.isValid())
        return {};
    return QDateTime(date, time, Qt::UTC);
}

}  // namespace

MlsdLine parseMlsdLine(QByteArrayView line, ListingEntry* entry)
{
    const qsizetype blank = line.indexOf(' ');
    if (blank <= 0 || blank + 1 >= line.size() || line[blank - 1] != ';')
        return MlsdLine::NotMlsd;
    // Every fact must be "name=value": an "ls -l" line or a name with a ";" never passes.
    const QByteArrayView facts = line.first(blank);
    ListingEntry parsed;
    QByteArrayView type;
    for (qsizetype start = 0; start < facts.size();) {
        const qsizetype end = facts.indexOf(';', start);
        const QByteArrayView fact = facts.sliced(start, end - start);
        start = end + 1;
        const qsizetype equals = fact.indexOf('=');
        if (equals <= 0)
            return MlsdLine::NotMlsd;
        const QByteArrayView name = fact.first(equals);
        for (char c : name) {
            if (!isFactNameChar(c))
                return MlsdLine::NotMlsd;
        }
        const QByteArrayView value = fact.sliced(equals + 1);
        if (equalsIgnoringCase(name, "type")) {
            type = value;
        } else if (equalsIgnoringCase(name, "size") || equalsIgnoringCase(name, "sizd")) {
            if (allDigits(value))
                parsed.size = sizeField(value);
        } else if (equalsIgnoringCase(name, "modify")) {
            parsed.modified = mlsdTime(value);
            parsed.modifiedIsUtc = parsed.modified.isValid();
        }
    }
    // The directory itself and its parent (RFC 3659 7.5.1): not entries of it.
    if (equalsIgnoringCase(type, "cdir") || equalsIgnoringCase(type, "pdir"))
        return MlsdLine::NotAnEntry;
    parsed.isDirectory = equalsIgnoringCase(type, "dir");
    // "type=OS.unix=slink:/target" (RFC 3659 7.7.4's example) or "type=OS.unix=symlink".
    if (startsWithIgnoringCase(type, "OS.unix=slink") || startsWithIgnoringCase(type, "OS.unix=symlink")) {
        parsed.isSymLink = true;
        const qsizetype colon = type.indexOf(':');
        if (colon >= 0 && startsWithIgnoringCase(type, "OS.unix=slink:")) {
            parsed.rawLinkTarget = type.sliced(colon + 1).toByteArray();
            parsed.linkTarget = decodeServerName(parsed.rawLinkTarget);
        }
    }
    setName(parsed, line.sliced(blank + 1));
    *entry = std::move(parsed);
    return MlsdLine::Entry;
}

}  // namespace zephra::ftp::listing
