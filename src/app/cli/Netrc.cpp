#include "app/cli/Netrc.h"

#include <QList>

namespace zephra::cli {

namespace {

// Splits into tokens, leaving out macro bodies (they hold commands, not logins).
QList<QString> tokens(QByteArrayView text)
{
    QList<QString> out;
    qsizetype i = 0;
    const qsizetype n = text.size();
    auto isBlank = [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; };
    while (i < n) {
        while (i < n && isBlank(text[i]))
            ++i;
        if (i >= n)
            break;
        QByteArray token;
        if (text[i] == '"') {
            for (++i; i < n && text[i] != '"'; ++i) {
                if (text[i] == '\\' && i + 1 < n)
                    ++i;
                token += text[i];
            }
            ++i;  // the closing quote
        } else {
            while (i < n && !isBlank(text[i]))
                token += text[i++];
        }
        out += QString::fromUtf8(token);
        if (out.last() == QLatin1String("macdef")) {
            // The macro's name ends its line; its body runs to the next empty line.
            while (i < n && text[i] != '\n')
                ++i;
            while (i < n) {
                const qsizetype end = text.indexOf('\n', i + 1) < 0 ? n : text.indexOf('\n', i + 1);
                const QByteArrayView line = text.sliced(i + 1, std::max<qsizetype>(0, end - i - 1));
                i = end;
                if (line.trimmed().isEmpty())
                    break;
            }
        }
    }
    return out;
}

}  // namespace

std::optional<NetrcLogin> findNetrcLogin(QByteArrayView netrc, const QString& host, const QString& user)
{
    const QList<QString> t = tokens(netrc);
    std::optional<NetrcLogin> fallback;
    for (qsizetype i = 0; i < t.size();) {
        const bool isDefault = t[i] == QLatin1String("default");
        if (!isDefault && t[i] != QLatin1String("machine")) {
            ++i;
            continue;
        }
        QString machine;
        if (!isDefault && i + 1 < t.size())
            machine = t[++i];
        ++i;
        NetrcLogin entry;
        while (i < t.size() && t[i] != QLatin1String("machine") && t[i] != QLatin1String("default")) {
            const QString& key = t[i];
            const QString value = i + 1 < t.size() ? t[i + 1] : QString();
            if (key == QLatin1String("login")) {
                entry.login = value;
                i += 2;
            } else if (key == QLatin1String("password")) {
                entry.password = value;
                i += 2;
            } else if (key == QLatin1String("account")) {
                i += 2;
            } else {
                ++i;  // macdef NAME and anything unknown
            }
        }
        const bool loginMatches = user.isEmpty() || entry.login.isEmpty() || entry.login == user;
        if (isDefault) {
            if (!fallback && loginMatches)
                fallback = entry;
        } else if (machine.compare(host, Qt::CaseInsensitive) == 0 && loginMatches) {
            return entry;
        }
    }
    return fallback;
}

}  // namespace zephra::cli
