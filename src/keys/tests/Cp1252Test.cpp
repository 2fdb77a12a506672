#include "keys/Cp1252.h"

#include <gtest/gtest.h>

using namespace zephra::keys;

TEST(Cp1252, EveryByteDecodesAndEncodesBack)
{
    QByteArray all;
    for (int b = 0; b < 256; ++b)
        all.append(char(b));
    const QString text = cp1252::decode(all);
    ASSERT_EQ(text.size(), 256);
    const auto back = cp1252::encode(text);
    ASSERT_TRUE(back.has_value());
    EXPECT_EQ(*back, all);
}

TEST(Cp1252, HighRangeMapsToTheWindowsCharacters)
{
    EXPECT_EQ(cp1252::decode("\x80"), QString(QChar(0x20AC)));  // euro sign
    EXPECT_EQ(cp1252::decode("\x8A"), QStringLiteral("Š"));
    EXPECT_EQ(cp1252::decode("\x9F"), QStringLiteral("Ÿ"));
    EXPECT_EQ(cp1252::decode("\xE1"), QStringLiteral("á"));
    EXPECT_EQ(*cp1252::encode(QStringLiteral("Název")), QByteArray("N\xE1zev"));
    EXPECT_EQ(*cp1252::encode(QStringLiteral("€ž")), QByteArray("\x80\x9E"));
}

TEST(Cp1252, CharactersOutsideTheCodePageAreRefused)
{
    EXPECT_FALSE(cp1252::encode(QStringLiteral("Dvořák")).has_value());
    EXPECT_EQ(cp1252::firstUnencodable(QStringLiteral("Dvořák")), QChar(0x0159));
    EXPECT_FALSE(cp1252::encode(QStringLiteral("鍵")).has_value());
    // A C1 control that 1252 uses for a printable character is not storable as itself.
    EXPECT_FALSE(cp1252::encode(QString(QChar(0x0080))).has_value());
    EXPECT_FALSE(cp1252::firstUnencodable(QStringLiteral("plain ascii")).has_value());
}
