#include "dialogs/Viewer.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>
#include <gtest/gtest.h>

using namespace zephra::dialogs;

TEST(Viewer, SplitsLikeAPosixShell)
{
    struct Row {
        const char* name;
        QString command;
        QStringList words;
    };
    const QList<Row> rows = {
        {"empty", "", {}},
        {"blanks only", " \t \n", {}},
        {"one word", "gedit", {"gedit"}},
        {"runs of blanks and tabs", "  less \t -R   +G ", {"less", "-R", "+G"}},
        {"single quotes keep blanks", "'/opt/my viewer/view' -x", {"/opt/my viewer/view", "-x"}},
        {"single quotes keep backslashes", R"('a\b' 'c"d')", {R"(a\b)", R"(c"d)"}},
        {"double quotes keep blanks", R"("/opt/my viewer/view")", {"/opt/my viewer/view"}},
        {"double-quote escapes", R"("a\"b\\c\$d\`e\n")", {R"(a"b\c$d`e\n)"}},
        {"backslash escapes a blank", R"(/opt/my\ viewer/view)", {"/opt/my viewer/view"}},
        {"backslash escapes a quote", R"(it\'s)", {"it's"}},
        {"quotes join into one word", R"(a'b c'"d e"f)", {"ab cd ef"}},
        {"empty quotes are an empty word", R"(prog "" '')", {"prog", "", ""}},
        {"nothing is expanded", "view $HOME ~ *.txt a;b", {"view", "$HOME", "~", "*.txt", "a;b"}},
        {"line continuation", "view \\\n -a\\\nb", {"view", "-ab"}},
        {"backslash at the end", "view a\\", {"view", "a\\"}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        QString error = QStringLiteral("stale");
        EXPECT_EQ(splitCommandLine(row.command, &error), row.words);
        EXPECT_TRUE(error.isEmpty());
    }
    for (const QString& bad : {QStringLiteral("view 'open"), QStringLiteral("view \"open"), QStringLiteral("\"a\\\"")}) {
        SCOPED_TRACE(bad.toStdString());
        QString error;
        EXPECT_TRUE(splitCommandLine(bad, &error).isEmpty());
        EXPECT_TRUE(error.contains(QStringLiteral("not closed")));
    }
}

TEST(Viewer, RefusesWhatCannotStart)
{
    const ViewerLaunch empty = launchViewer(QStringLiteral("  "), QStringLiteral("/tmp/a.txt"));
    EXPECT_FALSE(empty.ok);
    EXPECT_TRUE(empty.message.contains(QStringLiteral("editor.xex")));

    const ViewerLaunch quote = launchViewer(QStringLiteral("'view"), QStringLiteral("/tmp/a.txt"));
    EXPECT_FALSE(quote.ok);
    EXPECT_TRUE(quote.message.contains(QStringLiteral("not closed")));

    QTemporaryDir dir;
    const QString missing = dir.path() + QStringLiteral("/no such viewer");
    const ViewerLaunch absent = launchViewer(u'\'' + missing + u'\'', QStringLiteral("/tmp/a.txt"));
    EXPECT_FALSE(absent.ok);
    EXPECT_TRUE(absent.message.contains(missing)) << absent.message.toStdString();
}

TEST(Viewer, StartsTheProgramWithThePathAsOneArgument)
{
    QTemporaryDir dir;
    const QString scriptDir = dir.path() + QStringLiteral("/my viewer");
    ASSERT_TRUE(QDir().mkpath(scriptDir));
    const QString script = scriptDir + QStringLiteral("/record args.sh");
    const QString record = dir.path() + QStringLiteral("/record.txt");
    {
        QFile f(script);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        // One argument per line, written beside the record and renamed, so the test never
        // reads half a record.
        f.write("#!/bin/sh\nfor a in \"$@\"; do printf '[%s]\\n' \"$a\"; done > \"$0.part\"\n"
                "mv \"$0.part\" \"" + record.toUtf8() + "\"\n");
    }
    ASSERT_TRUE(QFile::setPermissions(script, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner));

    const QString file = dir.path() + QStringLiteral("/some dir/a  b's file.txt");
    const QString command = QStringLiteral("'%1' --mode \"two words\"").arg(script);
    const ViewerLaunch launch = launchViewer(command, file);
    ASSERT_TRUE(launch.ok) << launch.message.toStdString();
    EXPECT_GT(launch.pid, 0);

    QDeadlineTimer deadline(10000);
    while (!QFile::exists(record) && !deadline.hasExpired())
        QTest::qWait(20);
    QFile f(record);
    ASSERT_TRUE(f.open(QIODevice::ReadOnly)) << "the viewer did not run within 10 s";
    EXPECT_EQ(QString::fromUtf8(f.readAll()),
              QStringLiteral("[--mode]\n[two words]\n[%1]\n").arg(file));
}
