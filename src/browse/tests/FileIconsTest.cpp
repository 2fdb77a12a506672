#include <gtest/gtest.h>

#include <QImage>
#include <QSet>

#include "browse/FileIcons.h"

using namespace zephra::browse;

TEST(GetFileIcon, ExtensionTable)
{
    struct Case {
        const char* name;
        int icon;
    } cases[] = {
        {"movie.avi", 8}, {"movie.MPEG", 8}, {"clip.mov", 8},   {"a.mpg", 8},
        {"b.gif", 4},     {"p.jpg", 1},      {"p.JPEG", 1},     {"p.jpe", 1},  {"p.bmp", 1},
        {"page.Htm", 2},  {"x.html", 2},     {"x.xml", 2},      {"x.asp", 2},
        {"s.js", 5},      {"s.css", 5},      {"s.cgi", 5},
        {"m.mp3", 6},     {"m.ram", 6},      {"m.au", 6},       {"m.vaw", 6},  {"m.wav", 10},
        {"a.zip", 7},     {"archive.tar.zip", 7}, {"a.arj", 7}, {"a.tar.gz", 10},
        {"run.exe", 9},   {"run.COM", 9},    {"run.bat", 9},
        {"notes.TXT", 3}, {"a.log", 3},      {"a.doc", 3},      {"a.rtf", 3},  {"a.ftp", 3},
        {"a.ini", 3},     {"a.dat", 3},
        {"README", 10},   {"x.", 10},        {"", 10},          {".txt", 3},   {"my file.txt", 3},
        {"txt", 3},       // no "." at all: the whole name is the extension
        {"a.txt.bak", 10}, {"a.htmlx", 10},  {"a.tx", 10},
    };
    for (const Case& c : cases)
        EXPECT_EQ(GetFileIcon(QString::fromUtf8(c.name)), c.icon) << c.name;
}

TEST(IconSet, ThirteenDistinctPicturesLoad)
{
    IconSet icons;
    QSet<QByteArray> seen;
    for (int i = 1; i <= kIconCount; ++i) {
        const QImage img = icons.icon(i).pixmap(32, 32).toImage();
        ASSERT_FALSE(img.isNull()) << "picture " << i;
        EXPECT_EQ(img.width(), 32);
        seen.insert(QByteArray(reinterpret_cast<const char*>(img.constBits()), img.sizeInBytes()));
    }
    EXPECT_EQ(seen.size(), kIconCount);
    // Out of range falls back to the blank page, never to an empty icon.
    EXPECT_FALSE(icons.icon(0).isNull());
    EXPECT_FALSE(icons.icon(99).isNull());
    // The tree's folder opens when its node is selected.
    EXPECT_EQ(icons.folder().pixmap(32, 32, QIcon::Selected).toImage(),
              icons.icon(kIconFolderOpen).pixmap(32, 32).toImage());
}
