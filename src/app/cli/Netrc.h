#pragma once
// ~/.netrc, the file where FTP programs find a login without it standing on a command line:
//   machine ftp.example.org login alice password "s3cret pass"
//   default login anonymous password guest@
// Tokens are separated by blanks or line ends; a token may be quoted with "..." (backslash
// escapes the next character); "macdef NAME" starts a macro that runs to the next empty line.

#include <QByteArrayView>
#include <QString>

#include <optional>

namespace zephra::cli {

struct NetrcLogin {
    QString login;     // empty when the entry names none
    QString password;  // empty when the entry names none
};

// The entry for host: the first "machine host" entry whose login is user (any login when user
// is empty), else the "default" entry; nothing when neither exists. Host names compare without
// regard to letter case.
std::optional<NetrcLogin> findNetrcLogin(QByteArrayView netrc, const QString& host, const QString& user);

}  // namespace zephra::cli
