#include <gtest/gtest.h>

#include "browse/LocalPath.h"

using namespace zephra::browse;

TEST(LocalPath, RootDoesNotGiveTwoSeparators)
{
    EXPECT_EQ(localFilePath("C:\\", "a.txt", u'\\'), "C:\\a.txt");
    EXPECT_EQ(localFilePath("C:\\data", "a.txt", u'\\'), "C:\\data\\a.txt");
    EXPECT_EQ(localFilePath("/", "a.txt", u'/'), "/a.txt");
    EXPECT_EQ(localFilePath("/home/u", "a.txt", u'/'), "/home/u/a.txt");
    EXPECT_EQ(localFilePath("/home/u/", "my file.txt", u'/'), "/home/u/my file.txt");
}

TEST(LocalPath, RunsOfSeparatorsCollapse)
{
    EXPECT_EQ(localFilePath("C:\\\\data\\\\", "a.txt", u'\\'), "C:\\data\\a.txt");
    EXPECT_EQ(localFilePath("//tmp///x", "a", u'/'), "/tmp/x/a");
    // Qt's own form of a Windows path is turned into the native one.
    EXPECT_EQ(localFilePath("C:/data/", "a.txt", u'\\'), "C:\\data\\a.txt");
}

TEST(LocalPath, NetworkPathKeepsItsLeadingPair)
{
    EXPECT_EQ(localFilePath("\\\\server\\share", "a.txt", u'\\'), "\\\\server\\share\\a.txt");
    EXPECT_EQ(collapseSeparators("\\\\\\x", u'\\'), "\\x");
}

TEST(LocalPath, HostileServerNamesNeverBecomeLocalPaths)
{
    const char* hostile[] = {"../evil", "a/b", "/etc/passwd", "a\\b", "..\\x", ".", "..", "",
                             "a\nb", "a\rb", "tab\there", "del\x7f"};
    for (const char* name : hostile)
        EXPECT_FALSE(localTargetForServerName("/home/u", QString::fromUtf8(name), u'/')) << name;
    EXPECT_FALSE(localTargetForServerName("/home/u", QString(QChar(0x85)), u'/'));  // C1 NEL

    EXPECT_EQ(localTargetForServerName("/home/u", "my file.txt", u'/'), "/home/u/my file.txt");
    EXPECT_EQ(localTargetForServerName("/home/u", "...", u'/'), "/home/u/...");
    EXPECT_EQ(localTargetForServerName("/", QString::fromUtf8("čeština.txt"), u'/'),
              QString::fromUtf8("/čeština.txt"));
}
