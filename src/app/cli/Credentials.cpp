// Where the CLI's secrets come from, so that none has to stand on a command line, where every
// user of the machine can read it in the process list.
#include "app/cli/CliCommon.h"
#include "app/cli/Netrc.h"

#include "ftp/Url.h"

#include <QDir>
#include <QFile>
#include <QUrl>

#include <cstdio>
#include <termios.h>
#include <unistd.h>

namespace zephra::cli {

void warnVisibleSecret(const QString& what, const QString& instead)
{
    std::fprintf(stderr, "zephraftp-cli: warning: %s can be seen by other users in the process list; use %s\n",
                 qUtf8Printable(what), qUtf8Printable(instead));
}

namespace {

// Reads a line from the terminal with echo off; nothing when there is no terminal.
std::optional<QString> promptWithoutEcho(const QString& prompt)
{
    if (::isatty(STDIN_FILENO) != 1)
        return std::nullopt;
    FILE* tty = std::fopen("/dev/tty", "r+");
    if (!tty)
        return std::nullopt;
    const int fd = ::fileno(tty);
    termios saved {};
    const bool haveTerm = ::tcgetattr(fd, &saved) == 0;
    if (haveTerm) {
        termios quiet = saved;
        quiet.c_lflag &= ~tcflag_t(ECHO);
        ::tcsetattr(fd, TCSAFLUSH, &quiet);
    }
    std::fputs(qUtf8Printable(prompt), tty);
    std::fflush(tty);
    QByteArray line;
    for (int c; (c = std::fgetc(tty)) != EOF && c != '\n';)
        line += char(c);
    if (haveTerm)
        ::tcsetattr(fd, TCSAFLUSH, &saved);
    std::fputc('\n', tty);
    std::fclose(tty);
    if (line.endsWith('\r'))
        line.chop(1);
    return QString::fromUtf8(line);
}

}  // namespace

bool completeLogin(const QString& urlText, ftp::FtpUrl* url, const GlobalOptions& options, QString* error)
{
    const QUrl parsed(urlText);
    const bool namedUser = !parsed.userName().isEmpty();
    if (!parsed.password().isEmpty()) {
        warnVisibleSecret(QStringLiteral("a password in the address"),
                          QStringLiteral("~/.netrc, --netrc-file FILE or ZEPHRA_PASSWORD"));
        return true;
    }

    const QString netrcPath = options.netrcFile.isEmpty() ? QDir::homePath() + QStringLiteral("/.netrc") : options.netrcFile;
    QFile netrc(netrcPath);
    if (netrc.open(QIODevice::ReadOnly)) {
        if (const auto entry = findNetrcLogin(netrc.readAll(), url->host, namedUser ? url->user : QString())) {
            if (!namedUser && !entry->login.isEmpty())
                url->user = entry->login;
            if (namedUser || !entry->login.isEmpty()) {
                url->password = entry->password;
                if (!entry->password.isEmpty())
                    return true;
            }
        }
    } else if (!options.netrcFile.isEmpty()) {
        *error = QStringLiteral("cannot read %1: %2").arg(options.netrcFile, netrc.errorString());
        return false;
    }
    if (url->user.compare(QLatin1String("anonymous"), Qt::CaseInsensitive) == 0 ||
        url->user.compare(QLatin1String("ftp"), Qt::CaseInsensitive) == 0) {
        if (url->password.isEmpty())
            url->password = QStringLiteral("zephraftp@");  // an anonymous login needs no secret
        return true;
    }

    if (const QByteArray fromEnvironment = qgetenv("ZEPHRA_PASSWORD"); !fromEnvironment.isEmpty()) {
        url->password = QString::fromUtf8(fromEnvironment);
        return true;
    }
    if (const auto typed = promptWithoutEcho(QStringLiteral("Password for %1@%2: ").arg(url->user, url->host)))
        url->password = *typed;
    return true;
}

}  // namespace zephra::cli
