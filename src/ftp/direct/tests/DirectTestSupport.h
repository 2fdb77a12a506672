#pragma once
// What the direct route's tests against real servers share.

#include "FtpTestServers.h"
#include "TestFiles.h"

#include "ftp/direct/DirectSession.h"

#include <QFile>
#include <QStringList>

#include <gtest/gtest.h>

namespace zephra::test {

using namespace zephra::ftp::direct;

inline QStringList namesOf(const QList<DirectEntry>& entries)
{
    QStringList names;
    for (const DirectEntry& e : entries)
        names << e.name;
    names.sort();
    return names;
}

inline const DirectEntry* find(const QList<DirectEntry>& entries, const QByteArray& rawName)
{
    for (const DirectEntry& e : entries)
        if (e.rawName == rawName)
            return &e;
    return nullptr;
}

inline QString remotePath(const FtpTestServer& server, const QString& name) { return server.rootDir() + QLatin1Char('/') + name; }

// pyftpdlib logs every login; vsftpd logs nothing (the starter's probe connects but never logs in).
inline int loginCount(const FtpTestServer& server) { return int(server.log().count(QStringLiteral("' logged in."))); }

inline DirectResult openOn(DirectSession& s, const FtpTestServer& server)
{
    return s.open(QStringLiteral("127.0.0.1"), server.port(), server.user(), server.password());
}

// What an upload broken off left on the server: a beginning of what was sent, never more than
// the result says went over the data connection (the server may still be writing it, or may
// have dropped what was in flight).
inline void expectBeginningOf(const QString& path, const QByteArray& sent, qint64 bytesTransferred)
{
    EXPECT_LE(bytesTransferred, sent.size());
    const QByteArray held = readFile(path);
    EXPECT_LE(held.size(), bytesTransferred);
    EXPECT_TRUE(sent.startsWith(held)) << path.toStdString();
}

}  // namespace zephra::test

#define EXPECT_OK(expr)                                                                      \
    do {                                                                                     \
        const zephra::ftp::direct::DirectResult r_ = (expr);                                 \
        EXPECT_TRUE(r_.ok()) << #expr << ": " << errorName(r_.error).toStdString() << " "    \
                             << r_.message.toStdString();                                    \
    } while (0)
