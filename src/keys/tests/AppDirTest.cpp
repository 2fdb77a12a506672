#include "keys/AppDir.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <gtest/gtest.h>

using namespace zephra::keys;

TEST(AppDir, HomeOptionIsCreatedOwnerOnlyAndEndsWithSeparator)
{
    QTemporaryDir base;
    const QString wanted = base.filePath(QStringLiteral("a/b"));
    QString error;
    const auto dir = resolveAppDir(wanted, &error);
    ASSERT_TRUE(dir.has_value()) << error.toStdString();
    EXPECT_EQ(*dir, wanted + u'/');
    EXPECT_TRUE(QFileInfo(wanted).isDir());
    const auto perms = QFile::permissions(wanted);
    EXPECT_EQ(int(perms & 0x0077), 0) << "group/other bits must be clear";
    EXPECT_TRUE(perms.testFlags(QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner));
}

TEST(AppDir, OptionBeatsEnvironmentWhichBeatsDefault)
{
    QTemporaryDir base;
    const QString fromEnv = base.filePath(QStringLiteral("env"));
    const QString fromOption = base.filePath(QStringLiteral("opt"));
    qputenv(kHomeEnv, fromEnv.toLocal8Bit());
    EXPECT_EQ(*resolveAppDir(QString()), fromEnv + u'/');
    EXPECT_EQ(*resolveAppDir(fromOption), fromOption + u'/');
    qunsetenv(kHomeEnv);
    qputenv(kHomeEnvShort, fromEnv.toLocal8Bit());
    EXPECT_EQ(*resolveAppDir(QString()), fromEnv + u'/');
    qunsetenv(kHomeEnvShort);
}

TEST(AppDir, AFileInTheWayIsAnError)
{
    QTemporaryDir base;
    const QString file = base.filePath(QStringLiteral("plain"));
    QFile f(file);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.close();
    QString error;
    EXPECT_FALSE(resolveAppDir(file, &error).has_value());
    EXPECT_TRUE(error.contains(QStringLiteral("not a directory")));
}
