// The direct route's pure parts: server paths as bytes, the URL paths libcurl gets, and what a
// FEAT reply offers.

#include "ftp/direct/DirectCall.h"
#include "ftp/direct/RemoteName.h"

#include <gtest/gtest.h>

using namespace zephra::ftp::direct;

TEST(RemotePaths, JoinClimbAndResolveAsBytes)
{
    struct Row { const char* name; QByteArray got; QByteArray expected; };
    const Row rows[] = {
        {"child of a directory", childPath("/pub", "a b"), "/pub/a b"},
        {"child of the root", childPath("/", "a"), "/a"},
        {"child with a trailing slash", childPath("/pub/", "a"), "/pub/a"},
        {"child of the login directory", childPath("", "a"), "a"},
        {"child keeps its bytes", childPath("/r\xe9p", "caf\xe9"), "/r\xe9p/caf\xe9"},
        {"parent", parentPath("/pub/a"), "/pub"},
        {"parent of a top directory", parentPath("/pub"), "/"},
        {"parent with a trailing slash", parentPath("/pub/a/"), "/pub"},
        {"parent of the root", parentPath("/"), "/"},
        {"parent of a relative path", parentPath("a/b"), "a"},
        {"parent of a relative name", parentPath("a"), ""},
        {"parent of a name with blanks", parentPath("/home/u/odd names/-dashdir"), "/home/u/odd names"},
        // Guards ".." going to the login directory (or the root) instead of the parent.
        {"step up", resolveDirectory("/home/u/pub", ".."), "/home/u"},
        {"step up from the root", resolveDirectory("/", ".."), "/"},
        {"step into", resolveDirectory("/home/u", "-dashdir"), "/home/u/-dashdir"},
        {"step into from the root", resolveDirectory("/", "br[a]ck"), "/br[a]ck"},
        {"step to an absolute path", resolveDirectory("/home/u", "/srv/ftp/"), "/srv/ftp"},
        {"step to the root", resolveDirectory("/home/u", "/"), "/"},
        {"step nowhere", resolveDirectory("/home/u/", "."), "/home/u"},
    };
    for (const Row& row : rows)
        EXPECT_EQ(row.got, row.expected) << row.name;
}

TEST(RemotePaths, UrlPathsCarryEveryByte)
{
    struct Row { const char* name; QByteArray path; QByteArray url; };
    const Row rows[] = {
        {"relative", "a b/c", "a%20b/c"},
        {"absolute: the leading slash belongs to the path", "/pub/x", "%2Fpub/x"},
        {"the root", "/", "%2F"},
        {"not UTF-8", "caf\xe9.txt", "caf%E9.txt"},
        {"URL syntax", "a;type=a?#%", "a%3Btype%3Da%3F%23%25"},  // ";type=" would set the transfer type
        {"brackets and a dash", "-d/br[a]ck", "-d/br%5Ba%5Dck"},
        {"unreserved bytes stay", "A-z_0.9~", "A-z_0.9~"},
    };
    for (const Row& row : rows)
        EXPECT_EQ(urlPathOf(row.path), row.url) << row.name;
    EXPECT_TRUE(holdsLineBreak("a\r\nDELE x"));
    EXPECT_TRUE(holdsLineBreak(QByteArray("a\0b", 3)));
    EXPECT_FALSE(holdsLineBreak("caf\xe9 [1].txt"));
}

TEST(ServerFeatures, FromTheFeatReply)
{
    const auto lines = [](const char* reply) {
        QList<QByteArray> out;
        for (const QByteArray& line : QByteArray(reply).split('\n'))
            if (!line.isEmpty())
                out << line + '\n';
        return out;
    };
    struct Row { const char* name; const char* reply; bool utf8; bool mlsd; };
    const Row rows[] = {
        {"pyftpdlib", "230 Login successful.\r\n257 \"/\" is the current directory.\r\n211-Features supported:\r\n EPRT\r\n"
                      " EPSV\r\n MDTM\r\n MFMT\r\n MLST type*;perm*;size*;modify*;unique*;unix.mode;unix.uid;unix.gid;\r\n"
                      " REST STREAM\r\n SIZE\r\n TVFS\r\n UTF8\r\n211 End FEAT.\r\n", true, true},
        {"vsftpd", "211-Features:\r\n EPRT\r\n EPSV\r\n MDTM\r\n PASV\r\n REST STREAM\r\n SIZE\r\n TVFS\r\n211 End\r\n", false, false},
        {"vsftpd with utf8_filesystem", "211-Features:\r\n EPRT\r\n SIZE\r\n UTF8\r\n211 End\r\n", true, false},
        {"lower case", "211-Extensions supported:\r\n utf8\r\n mlst size*;\r\n211 END\r\n", true, true},
        {"no FEAT", "500 Unknown command.\r\n", false, false},
        {"a reply line is no feature", "211-Features:\r\n211 End\r\n200 UTF8 set to on\r\n", false, false},
        {"MLSD alone is no feature name", "211-Features:\r\n MLSD\r\n211 End\r\n", false, false},
    };
    for (const Row& row : rows) {
        const ServerFeatures f = parseFeatures(lines(row.reply));
        EXPECT_EQ(f.utf8, row.utf8) << row.name;
        EXPECT_EQ(f.mlsd, row.mlsd) << row.name;
    }
}
