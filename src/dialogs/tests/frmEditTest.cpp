#include "dialogs/ScriptedPrompter.h"
#include "dialogs/frmEdit.h"
#include "TestFiles.h"

#include <QFile>
#include <QDir>
#include <QFileInfo>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>
#include <gtest/gtest.h>

#include <unistd.h>

using namespace zephra::dialogs;
using zephra::test::readFile;
using zephra::test::writeFile;

namespace {

// A data directory and a file to edit in a temporary directory.
struct Fixture {
    QTemporaryDir dir;
    QString appDir = dir.path() + u'/';
    QString file = appDir + QStringLiteral("notes.txt");
    QString settings = appDir + QStringLiteral("editor.fnt");
    ScriptedPrompter prompter;
};

QPlainTextEdit* text1(frmEdit& editor) { return editor.findChild<QPlainTextEdit*>(QStringLiteral("Text1")); }
QPushButton* button(frmEdit& editor, const char* name) { return editor.findChild<QPushButton*>(QLatin1String(name)); }

struct Sample {
    const char* name;
    QByteArray bytes;
    QString shown;     // the text box right after loading
    QByteArray typed;  // the file after typing "X", Return at the start and Done
};

// Typing at the start keeps the file's encoding and line breaks.
const QList<Sample>& samples()
{
    static const QList<Sample> rows = {
        {"CRLF", "one\r\ntwo\r\n", "one\ntwo\n", "X\r\none\r\ntwo\r\n"},
        {"LF only", "one\ntwo\n", "one\ntwo\n", "X\none\ntwo\n"},
        {"CR only", "one\rtwo\r", "one\ntwo\n", "X\rone\rtwo\r"},
        {"mixed, LF most", "a\nb\nc\r\n", "a\nb\nc\n", "X\na\nb\nc\n"},
        {"no final line break", "one\r\ntwo", "one\ntwo", "X\r\none\r\ntwo"},
        {"empty", "", "", "X\n"},
        {"Windows-1252", "caf\xE9 \x80 5\r\n", QStringLiteral("caf\u00E9 \u20AC 5\n"), "X\r\ncaf\xE9 \x80 5\r\n"},
        {"UTF-8", "caf\xC3\xA9 \xE2\x82\xAC\n", QStringLiteral("caf\u00E9 \u20AC\n"), "X\ncaf\xC3\xA9 \xE2\x82\xAC\n"},
        {"UTF-8 with BOM", "\xEF\xBB\xBFhi\r\n", QStringLiteral("hi\n"), "\xEF\xBB\xBFX\r\nhi\r\n"},
        {"no-break space", "a\xC2\xA0" "b", QStringLiteral("a\u00A0b"), "X\na\xC2\xA0" "b"},
    };
    return rows;
}

}  // namespace

// Guards against the old habit of adding a line break at each open-and-Done: Done without an
// edit gives the same bytes; an edit keeps the file's encoding and line breaks.
TEST(frmEdit, DoneKeepsEncodingAndLineBreaks)
{
    for (const Sample& row : samples()) {
        SCOPED_TRACE(row.name);
        Fixture fx;
        ASSERT_TRUE(writeFile(fx.file, row.bytes));
        for (bool typing : {false, true}) {
            frmEdit editor(fx.appDir, fx.file, fx.prompter);
            ASSERT_TRUE(editor.load());
            editor.show();
            if (typing) {
                text1(editor)->moveCursor(QTextCursor::Start);
                QTest::keyClicks(text1(editor), QStringLiteral("X"));
                QTest::keyClick(text1(editor), Qt::Key_Return);
            } else {
                EXPECT_EQ(text1(editor)->toPlainText().replace(QChar(0xA0), u' '), QString(row.shown).replace(QChar(0xA0), u' '));
            }
            button(editor, "Command1")->click();
            EXPECT_FALSE(editor.isVisible());
            EXPECT_TRUE(editor.written());
            EXPECT_EQ(readFile(fx.file), typing ? row.typed : row.bytes);
        }
        EXPECT_EQ(fx.prompter.count(), 0);
    }
}

TEST(frmEdit, TextTheFileEncodingCannotHoldIsRefused)
{
    Fixture fx;
    writeFile(fx.file, "caf\xE9\r\n");  // Windows-1252
    frmEdit editor(fx.appDir, fx.file, fx.prompter);
    ASSERT_TRUE(editor.load());
    editor.show();
    text1(editor)->moveCursor(QTextCursor::End);
    text1(editor)->insertPlainText(QStringLiteral("\u0142\u00F3d\u017A"));  // Polish, not in the code page
    button(editor, "Command1")->click();
    EXPECT_TRUE(editor.isVisible()) << "the editor stays open with the text";
    EXPECT_FALSE(editor.written());
    ASSERT_EQ(fx.prompter.count(), 1);
    EXPECT_TRUE(fx.prompter.last().text.contains(QStringLiteral("U+0142"))) << fx.prompter.last().text.toStdString();
    EXPECT_TRUE(fx.prompter.last().text.contains(QStringLiteral("Windows-1252")));
    EXPECT_EQ(readFile(fx.file), QByteArray("caf\xE9\r\n"));

    // Characters the code page holds are written in it.
    text1(editor)->setPlainText(QStringLiteral("\u201Cna\u00EFve\u201D \u20AC\n"));
    button(editor, "Command1")->click();
    EXPECT_FALSE(editor.isVisible());
    EXPECT_EQ(readFile(fx.file), QByteArray("\x93na\xEFve\x94 \x80\r\n"));
}

TEST(frmEdit, CloseBoxAndEscapeLeaveTheFileUntouched)
{
    Fixture fx;
    writeFile(fx.file, "keep\n");
    frmEdit editor(fx.appDir, fx.file, fx.prompter);
    ASSERT_TRUE(editor.load());
    editor.show();
    QTest::keyClicks(text1(editor), QStringLiteral("changed"));
    // Guards against Escape closing the editor and dropping the edits.
    QTest::keyClick(text1(editor), Qt::Key_Escape);
    EXPECT_TRUE(editor.isVisible());
    editor.close();
    EXPECT_FALSE(editor.isVisible());
    EXPECT_FALSE(editor.written());
    EXPECT_EQ(readFile(fx.file), QByteArray("keep\n"));
}

TEST(frmEdit, UnreadableFileDoesNotOpenTheEditor)
{
    Fixture fx;
    ASSERT_TRUE(QDir(fx.appDir).mkdir(QStringLiteral("folder")));
    QStringList paths = {fx.appDir + QStringLiteral("missing.txt"), fx.appDir + QStringLiteral("folder")};
    if (::geteuid() != 0) {  // root reads any file
        const QString locked = fx.appDir + QStringLiteral("locked.txt");
        writeFile(locked, "secret");
        ASSERT_TRUE(QFile::setPermissions(locked, QFileDevice::WriteOwner));
        paths.append(locked);
    }
    for (const QString& path : paths) {
        SCOPED_TRACE(path.toStdString());
        fx.prompter.clear();
        // edit() would block in exec() if it opened the editor.
        EXPECT_FALSE(frmEdit::edit(nullptr, fx.appDir, path, fx.prompter));
        ASSERT_EQ(fx.prompter.count(), 1);
        EXPECT_TRUE(fx.prompter.last().text.startsWith(QStringLiteral("There was the error - ")));
        EXPECT_TRUE(fx.prompter.last().text.contains(path));
        EXPECT_EQ(fx.prompter.last().title, kAppTitle);
    }
    EXPECT_FALSE(QFileInfo::exists(fx.appDir + QStringLiteral("missing.txt")));
}

TEST(frmEdit, WriteFailureKeepsEditorOpenAndFileIntact)
{
    if (::geteuid() == 0)
        GTEST_SKIP() << "root writes into read-only directories";
    Fixture fx;
    const QString sub = fx.appDir + QStringLiteral("locked/");
    ASSERT_TRUE(QDir().mkdir(sub));
    const QString path = sub + QStringLiteral("file.txt");
    writeFile(path, "original\r\n");
    ASSERT_TRUE(QFile::setPermissions(sub, QFileDevice::ReadOwner | QFileDevice::ExeOwner));
    ASSERT_TRUE(QFile::setPermissions(fx.appDir, QFileDevice::ReadOwner | QFileDevice::ExeOwner));

    frmEdit editor(fx.appDir, path, fx.prompter);  // editor.fnt cannot be created: defaults
    ASSERT_TRUE(editor.load());
    EXPECT_FALSE(QFileInfo::exists(fx.settings));
    editor.show();
    QTest::keyClicks(text1(editor), QStringLiteral("new "));
    button(editor, "Command1")->click();
    EXPECT_TRUE(editor.isVisible());
    ASSERT_EQ(fx.prompter.count(), 1);
    EXPECT_TRUE(fx.prompter.last().text.startsWith(QStringLiteral("There was the error - ")));
    EXPECT_TRUE(fx.prompter.last().text.contains(path));
    EXPECT_EQ(readFile(path), QByteArray("original\r\n"));

    button(editor, "Command5")->click();  // Save of the appearance fails the same way
    ASSERT_EQ(fx.prompter.count(), 2);
    EXPECT_TRUE(fx.prompter.last().text.contains(QStringLiteral("editor.fnt")));

    QFile::setPermissions(sub, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    QFile::setPermissions(fx.appDir, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    button(editor, "Command1")->click();  // once writable, Done succeeds
    EXPECT_FALSE(editor.isVisible());
    EXPECT_EQ(readFile(path), QByteArray("new original\r\n"));
}

// ---------------------------------------------------------------------------------------------
// Appearance and editor.fnt

TEST(EditorAppearance, ColourValuesAndExactFileBytes)
{
    EXPECT_EQ(EditorAppearance::colourValue(QColor(0x12, 0x34, 0x56)), 0x563412);
    EXPECT_EQ(EditorAppearance::colourOf(0x563412), QColor(0x12, 0x34, 0x56));
    EXPECT_FALSE(EditorAppearance::colourOf(EditorAppearance::kSystemWindow).isValid());

    // Chosen colours and a fractional size are written by the Save test below.
    EditorAppearance a;
    a.background = EditorAppearance::kSystemWindow;
    a.foreground = EditorAppearance::kSystemWindowText;
    a.pointSize = 10;
    a.fontName = QStringLiteral("DejaVu Sans Mono");
    EXPECT_EQ(a.write(), QByteArray("-2147483643\r\n-2147483640\r\n 10\r\nDejaVu Sans Mono\r\n"));
}

TEST(EditorAppearance, DamagedFilesUseWhatIsValid)
{
    struct Row {
        const char* name;
        QByteArray bytes;
        qint32 background;
        qint32 foreground;
        double size;
        QString font;
    };
    const qint32 bg = EditorAppearance::kSystemWindow;
    const qint32 fg = EditorAppearance::kSystemWindowText;
    const QList<Row> rows = {
        {"empty", "", bg, fg, 0, {}},
        {"one line", " 255\r\n", 255, fg, 0, {}},
        {"three lines, no end", " 255\r\n 65280\r\n 12", 255, 65280, 12, {}},
        {"LF line ends", " 1\n 2\n 8.25\nSerif\n", 1, 2, 8.25, QStringLiteral("Serif")},
        {"junk everywhere", "red\r\n12abc\r\nbig\r\n\r\n", bg, fg, 0, {}},
        {"out of range", "99999999999\r\n 16777216\r\n 0\r\nMono\r\n", bg, fg, 0, QStringLiteral("Mono")},
        {"negative size", " 5\r\n 6\r\n-3\r\nMono\r\n", 5, 6, 0, QStringLiteral("Mono")},
        {"system colours", "-2147483643\r\n-2147483640\r\n 10\r\nA\r\n", bg, fg, 10, QStringLiteral("A")},
        {"binary", QByteArray("\x00\xFF\xFE\r\n\x01", 6), bg, fg, 0, {}},
        {"Windows-1252 name", " 1\r\n 2\r\n 9\r\nCaf\xE9\r\n", 1, 2, 9, QStringLiteral("Caf\u00E9")},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        const EditorAppearance a = EditorAppearance::read(row.bytes);
        EXPECT_EQ(a.background, row.background);
        EXPECT_EQ(a.foreground, row.foreground);
        EXPECT_EQ(a.pointSize, row.size);
        EXPECT_EQ(a.fontName, row.font);
    }
}

TEST(frmEdit, MissingOrDamagedSettingsStillOpen)
{
    Fixture fx;
    writeFile(fx.file, "x");
    const QPalette defaults = QPlainTextEdit().palette();
    {
        frmEdit editor(fx.appDir, fx.file, fx.prompter);
        ASSERT_TRUE(editor.load());
        EXPECT_EQ(QFileInfo(fx.settings).size(), 0) << "created empty";
        EXPECT_EQ(text1(editor)->palette().color(QPalette::Base), defaults.color(QPalette::Base));
        EXPECT_EQ(text1(editor)->font(), QPlainTextEdit().font());
    }
    writeFile(fx.settings, " 255\r\nnonsense");
    frmEdit editor(fx.appDir, fx.file, fx.prompter);
    ASSERT_TRUE(editor.load());
    EXPECT_EQ(text1(editor)->palette().color(QPalette::Base), QColor(255, 0, 0));
    EXPECT_EQ(text1(editor)->palette().color(QPalette::Text), defaults.color(QPalette::Text));
    button(editor, "Command5")->click();  // Save writes all four lines anew
    const QList<QByteArray> lines = readFile(fx.settings).split('\n');
    ASSERT_EQ(lines.size(), 5);
    EXPECT_EQ(lines[0], QByteArray(" 255\r"));
    EXPECT_EQ(lines[1], QByteArray("-2147483640\r"));
}

TEST(frmEdit, ColoursFontSaveAndRestore)
{
    Fixture fx;
    writeFile(fx.file, "x");
    QList<std::optional<QColor>> colourAnswers = {QColor(0x12, 0x34, 0x56), QColor(Qt::black), std::nullopt};
    {
        frmEdit editor(fx.appDir, fx.file, fx.prompter);
        editor.setColorChooser([&](QWidget*, const QColor&, const QString&) { return colourAnswers.takeFirst(); });
        editor.setFontChooser([](QWidget*, const QFont&) {
            QFont font(QStringLiteral("Zephra Test Face"));
            font.setPointSizeF(9.75);
            return std::optional<QFont>(font);
        });
        ASSERT_TRUE(editor.load());
        editor.show();
        button(editor, "Command2")->click();  // background
        EXPECT_EQ(text1(editor)->palette().color(QPalette::Base), QColor(0x12, 0x34, 0x56));
        // Guards against black being taken for "no colour chosen".
        button(editor, "Command3")->click();  // foreground: black
        EXPECT_EQ(text1(editor)->palette().color(QPalette::Text), QColor(Qt::black));
        button(editor, "Command2")->click();  // cancelled
        EXPECT_EQ(text1(editor)->palette().color(QPalette::Base), QColor(0x12, 0x34, 0x56));
        button(editor, "Command4")->click();
        EXPECT_EQ(text1(editor)->font().family(), QStringLiteral("Zephra Test Face"));
        EXPECT_EQ(QFileInfo(fx.settings).size(), 0) << "nothing is stored before Save";
        button(editor, "Command5")->click();
        EXPECT_TRUE(editor.isVisible()) << "Save does not close the editor";
        editor.close();
    }
    EXPECT_TRUE(colourAnswers.isEmpty());
    EXPECT_EQ(readFile(fx.settings), QByteArray(" 5649426\r\n 0\r\n 9.75\r\nZephra Test Face\r\n"));
    EXPECT_EQ(readFile(fx.file), QByteArray("x")) << "Save does not write the text";

    frmEdit again(fx.appDir, fx.file, fx.prompter);
    ASSERT_TRUE(again.load());
    EXPECT_EQ(text1(again)->palette().color(QPalette::Base), QColor(0x12, 0x34, 0x56));
    EXPECT_EQ(text1(again)->palette().color(QPalette::Text), QColor(Qt::black));
    EXPECT_EQ(text1(again)->font().family(), QStringLiteral("Zephra Test Face"));
    EXPECT_EQ(text1(again)->font().pointSizeF(), 9.75);
    EXPECT_EQ(fx.prompter.count(), 0);
}

TEST(frmEdit, WrittenFileKeepsItsModeAndLinks)
{
    // Guards against the rewrite (a new file renamed over the old) losing the file's mode or
    // replacing a symbolic link by a plain file.
    Fixture fx;
    const QString target = fx.appDir + QStringLiteral("script.sh");
    writeFile(target, "#!/bin/sh\n");
    const auto mode = QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner;
    ASSERT_TRUE(QFile::setPermissions(target, mode));
    const QString link = fx.appDir + QStringLiteral("link.sh");
    ASSERT_TRUE(QFile::link(target, link));

    frmEdit editor(fx.appDir, link, fx.prompter);
    ASSERT_TRUE(editor.load());
    editor.show();
    text1(editor)->moveCursor(QTextCursor::End);
    QTest::keyClicks(text1(editor), QStringLiteral("true"));
    button(editor, "Command1")->click();
    EXPECT_FALSE(editor.isVisible());
    EXPECT_TRUE(QFileInfo(link).isSymLink());
    EXPECT_EQ(readFile(target), QByteArray("#!/bin/sh\ntrue"));
    const auto userBits = QFileDevice::ReadUser | QFileDevice::WriteUser | QFileDevice::ExeUser;
    EXPECT_EQ(QFile::permissions(target) & ~userBits, mode);
}
