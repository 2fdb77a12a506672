#pragma once
// The built-in text editor (frmEdit, caption "Edit") for one local file.
//
// Usage:
//     dialogs::frmEdit editor(appDir, filePath, prompter, parent);
//     if (editor.load())   // false: a message was shown, there is nothing to edit
//         editor.exec();   // "Done" writes the file; the close box leaves it as it was
//     editor.written();    // true once "Done" has ended the editor
// or in one call:  bool done = dialogs::frmEdit::edit(parent, appDir, filePath, prompter);
//
// The file keeps its bytes: text that is not edited is never rewritten, and edited text is
// written in the file's own encoding (UTF-8, or Windows-1252 when the bytes are not UTF-8) and
// with its own line breaks. The appearance (colours, font) is kept in appDir + "editor.fnt"
// by the "Save" button. Tests answer the colour and font dialogs with setColorChooser() and
// setFontChooser().

#include <QByteArray>
#include <QColor>
#include <QDialog>
#include <QFont>
#include <QPalette>
#include <QString>

#include <functional>
#include <optional>

class QGroupBox;
class QPlainTextEdit;
class QPushButton;

namespace zephra::dialogs {

class Prompter;

// The appearance stored in editor.fnt: four lines, each ended by CR LF — background colour,
// text colour (32-bit signed decimal, a leading space when not negative), font size in points
// (" 10", " 9.75") and font name. A colour value is red | green << 8 | blue << 16; negative
// values are system colours (the editor's default colours).
struct EditorAppearance {
    static constexpr qint32 kSystemWindow = qint32(0x80000005);      // default background
    static constexpr qint32 kSystemWindowText = qint32(0x80000008);  // default text colour

    qint32 background = kSystemWindow;
    qint32 foreground = kSystemWindowText;
    double pointSize = 0;  // 0: not set
    QString fontName;      // empty: not set

    // Reads what is valid of the four lines; a missing or damaged line leaves its default.
    static EditorAppearance read(QByteArrayView bytes);
    QByteArray write() const;

    static qint32 colourValue(const QColor& colour);
    // Invalid QColor for a system colour (negative) or a value out of range.
    static QColor colourOf(qint32 value);
};

class frmEdit final : public QDialog {
    Q_OBJECT
public:
    // Return nothing when the dialog is cancelled.
    using ColorChooser =
        std::function<std::optional<QColor>(QWidget* parent, const QColor& current, const QString& title)>;
    using FontChooser = std::function<std::optional<QFont>(QWidget* parent, const QFont& current)>;

    // Files larger than this are refused rather than loaded into the text box.
    static constexpr qint64 kMaxFileSize = 64 * 1024 * 1024;

    frmEdit(const QString& appDir, const QString& filePath, Prompter& prompter, QWidget* parent = nullptr);

    // Reads editor.fnt (created empty when missing) and the file. False, after a message, when
    // the file cannot be read or decoded; the editor must not be shown then.
    [[nodiscard]] bool load();

    // load() and exec() in one; true when "Done" ended the editor.
    static bool edit(QWidget* parent, const QString& appDir, const QString& filePath, Prompter& prompter);

    bool written() const { return m_written; }

    void setColorChooser(ColorChooser chooser) { m_chooseColor = std::move(chooser); }
    void setFontChooser(FontChooser chooser) { m_chooseFont = std::move(chooser); }

protected:
    void keyPressEvent(QKeyEvent* event) override;

private:
    enum class Encoding { Utf8, Cp1252 };

    void applyAppearance(const EditorAppearance& appearance);
    EditorAppearance currentAppearance() const;
    void chooseColour(bool background);
    void chooseFont();
    void saveAppearance();
    void writeAndClose();
    QString editorText() const;
    std::optional<QByteArray> encodeText(const QString& text, QString* refusal) const;
    void showError(const QString& reason);

    QString m_appDir;
    QString m_filePath;
    Prompter& m_prompter;
    ColorChooser m_chooseColor;
    FontChooser m_chooseFont;

    QPlainTextEdit* m_text = nullptr;      // "Text1"
    QGroupBox* m_frame = nullptr;          // "Frame1"
    QPushButton* m_background = nullptr;   // "Command2"
    QPushButton* m_foreground = nullptr;   // "Command3"
    QPushButton* m_font = nullptr;         // "Command4"
    QPushButton* m_save = nullptr;         // "Command5"
    QPushButton* m_done = nullptr;         // "Command1"

    QPalette m_defaultPalette;  // the text box's own colours, for the system colour values
    qint32 m_backgroundValue = EditorAppearance::kSystemWindow;
    qint32 m_foregroundValue = EditorAppearance::kSystemWindowText;

    Encoding m_encoding = Encoding::Utf8;
    bool m_byteOrderMark = false;
    QByteArray m_lineBreak = "\n";
    QString m_loadedText;  // the text box's text right after loading
    bool m_written = false;
};

}  // namespace zephra::dialogs
