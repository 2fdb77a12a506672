#include "dialogs/frmEdit.h"

#include "dialogs/Prompter.h"
#include "keys/AppDir.h"
#include "keys/Cp1252.h"
#include "keys/RecordFile.h"

#include <QColorDialog>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QFontDialog>
#include <QFontInfo>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLocale>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSaveFile>
#include <QStringDecoder>
#include <QStringEncoder>
#include <QTextDocument>
#include <QVBoxLayout>

#include <limits>

namespace zephra::dialogs {

namespace {

constexpr qsizetype kMaxAppearanceBytes = 4096;  // four short lines; anything longer is damage
constexpr double kMinPointSize = 1;
constexpr double kMaxPointSize = 1638;  // the largest size the platform's font dialog offers
const QByteArray kUtf8Bom = QByteArrayLiteral("\xEF\xBB\xBF");

// UTF-8 when the bytes are valid UTF-8, else Windows-1252 (every byte decodes).
std::optional<QString> decodeUtf8(QByteArrayView bytes)
{
    // ConvertInitialBom keeps a leading byte-order mark as U+FEFF, so the caller sees it.
    QStringDecoder utf8(QStringDecoder::Utf8, QStringConverter::Flag::ConvertInitialBom);
    QString text = utf8(bytes);
    if (utf8.hasError())
        return std::nullopt;
    return text;
}

QString decodeSettings(QByteArrayView bytes)
{
    if (auto text = decodeUtf8(bytes))
        return *text;
    return keys::cp1252::decode(bytes);
}

std::optional<qint32> parseColour(QStringView line)
{
    bool ok = false;
    const qlonglong value = line.trimmed().toLongLong(&ok);
    if (!ok || value < std::numeric_limits<qint32>::min() || value > 0xFFFFFF)
        return std::nullopt;
    return qint32(value);
}

std::optional<double> parsePointSize(QStringView line)
{
    bool ok = false;
    const double value = QLocale::c().toDouble(line.trimmed(), &ok);
    if (!ok || !(value >= kMinPointSize && value <= kMaxPointSize))
        return std::nullopt;
    return value;
}

// " 10", " 9.75": a leading blank for a value that is not negative, no trailing zeros.
QByteArray formatNumber(double value)
{
    QByteArray text = QByteArray::number(value, 'f', 2);
    if (text.contains('.')) {
        while (text.endsWith('0'))
            text.chop(1);
        if (text.endsWith('.'))
            text.chop(1);
    }
    return value < 0 ? text : ' ' + text;
}

QByteArray formatColour(qint32 value)
{
    return value < 0 ? QByteArray::number(value) : ' ' + QByteArray::number(value);
}

// The line break written for edited text: the file's most frequent one (CR LF before LF before
// CR on a tie), or the platform's for a file without any.
QByteArray lineBreakOf(QByteArrayView bytes)
{
    qsizetype crlf = 0, cr = 0, lf = 0;
    for (qsizetype i = 0; i < bytes.size(); ++i) {
        if (bytes[i] == '\r') {
            if (i + 1 < bytes.size() && bytes[i + 1] == '\n') {
                ++crlf;
                ++i;
            } else {
                ++cr;
            }
        } else if (bytes[i] == '\n') {
            ++lf;
        }
    }
    if (crlf + cr + lf == 0) {
#ifdef Q_OS_WIN
        return QByteArrayLiteral("\r\n");
#else
        return QByteArrayLiteral("\n");
#endif
    }
    if (crlf >= lf && crlf >= cr)
        return QByteArrayLiteral("\r\n");
    return lf >= cr ? QByteArrayLiteral("\n") : QByteArrayLiteral("\r");
}

QString native(const QString& path) { return QDir::toNativeSeparators(path); }

}  // namespace

// ---------------------------------------------------------------------------------------------
// EditorAppearance

EditorAppearance EditorAppearance::read(QByteArrayView bytes)
{
    EditorAppearance appearance;
    QString text = decodeSettings(bytes.first(qMin(bytes.size(), kMaxAppearanceBytes)));
    // Written with CR LF; a file edited by hand may end its lines with LF or CR alone.
    text.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
    text.replace(u'\r', u'\n');
    const QStringList lines = text.split(u'\n');
    if (lines.size() > 0)
        appearance.background = parseColour(lines[0]).value_or(kSystemWindow);
    if (lines.size() > 1)
        appearance.foreground = parseColour(lines[1]).value_or(kSystemWindowText);
    if (lines.size() > 2)
        appearance.pointSize = parsePointSize(lines[2]).value_or(0);
    if (lines.size() > 3)
        appearance.fontName = lines[3].trimmed();
    return appearance;
}

QByteArray EditorAppearance::write() const
{
    QString name = fontName;
    name.remove(u'\r').remove(u'\n');
    const QByteArray crlf = QByteArrayLiteral("\r\n");
    return formatColour(background) + crlf + formatColour(foreground) + crlf + formatNumber(pointSize) + crlf
        + name.toUtf8() + crlf;
}

qint32 EditorAppearance::colourValue(const QColor& colour)
{
    const QColor rgb = colour.toRgb();
    return qint32(rgb.red() | rgb.green() << 8 | rgb.blue() << 16);
}

QColor EditorAppearance::colourOf(qint32 value)
{
    if (value < 0 || value > 0xFFFFFF)
        return {};
    return QColor(value & 0xFF, (value >> 8) & 0xFF, (value >> 16) & 0xFF);
}

// ---------------------------------------------------------------------------------------------
// frmEdit

frmEdit::frmEdit(const QString& appDir, const QString& filePath, Prompter& prompter, QWidget* parent)
    : QDialog(parent), m_appDir(appDir), m_filePath(filePath), m_prompter(prompter)
{
    setObjectName(QStringLiteral("frmEdit"));
    setWindowTitle(tr("Edit"));
    setModal(true);

    m_chooseColor = [](QWidget* parent, const QColor& current, const QString& title) -> std::optional<QColor> {
        const QColor chosen = QColorDialog::getColor(current, parent, title);
        return chosen.isValid() ? std::optional<QColor>(chosen) : std::nullopt;
    };
    m_chooseFont = [](QWidget* parent, const QFont& current) -> std::optional<QFont> {
        bool ok = false;
        const QFont chosen = QFontDialog::getFont(&ok, current, parent, tr("Font"));
        return ok ? std::optional<QFont>(chosen) : std::nullopt;
    };

    m_text = new QPlainTextEdit(this);
    m_text->setObjectName(QStringLiteral("Text1"));
    m_text->setLineWrapMode(QPlainTextEdit::NoWrap);  // both scroll bars, lines as in the file
    m_defaultPalette = m_text->palette();

    m_frame = new QGroupBox(tr("Font"), this);
    m_frame->setObjectName(QStringLiteral("Frame1"));
    auto makeButton = [this](const char* name, const QString& caption, QWidget* owner) {
        auto* button = new QPushButton(caption, owner);
        button->setObjectName(QLatin1String(name));
        button->setAutoDefault(false);
        return button;
    };
    m_background = makeButton("Command2", tr("Background"), m_frame);
    m_foreground = makeButton("Command3", tr("Foreground"), m_frame);
    m_font = makeButton("Command4", tr("Font"), m_frame);
    m_save = makeButton("Command5", tr("Save"), m_frame);
    m_done = makeButton("Command1", tr("Done"), this);

    auto* frameLayout = new QHBoxLayout(m_frame);
    for (QPushButton* button : {m_background, m_foreground, m_font, m_save})
        frameLayout->addWidget(button);
    auto* bottom = new QHBoxLayout;
    bottom->addWidget(m_frame);
    bottom->addStretch();
    bottom->addWidget(m_done, 0, Qt::AlignBottom);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(m_text, 1);
    layout->addLayout(bottom);
    resize(720, 520);

    connect(m_background, &QPushButton::clicked, this, [this] { chooseColour(true); });
    connect(m_foreground, &QPushButton::clicked, this, [this] { chooseColour(false); });
    connect(m_font, &QPushButton::clicked, this, &frmEdit::chooseFont);
    connect(m_save, &QPushButton::clicked, this, &frmEdit::saveAppearance);
    connect(m_done, &QPushButton::clicked, this, &frmEdit::writeAndClose);
}

bool frmEdit::load()
{
    const QString settingsPath = m_appDir + QLatin1String(keys::files::kEditorFont);
    if (!QFileInfo::exists(settingsPath)) {
        QFile create(settingsPath);
        if (create.open(QIODevice::WriteOnly | QIODevice::NewOnly))  // an unwritable directory: defaults
            keys::setOwnerOnly(settingsPath);
    }
    QFile settings(settingsPath);
    if (settings.open(QIODevice::ReadOnly))
        applyAppearance(EditorAppearance::read(settings.read(kMaxAppearanceBytes)));

    const QFileInfo info(m_filePath);
    if (!info.exists()) {
        showError(tr("%1 does not exist.").arg(native(m_filePath)));
        return false;
    }
    if (!info.isFile()) {
        showError(tr("%1 is not a file.").arg(native(m_filePath)));
        return false;
    }
    if (info.size() > kMaxFileSize) {
        showError(tr("%1 is too large for the editor (%2 MB; at most %3 MB).")
                      .arg(native(m_filePath))
                      .arg(info.size() / (1024 * 1024))
                      .arg(kMaxFileSize / (1024 * 1024)));
        return false;
    }
    QFile file(m_filePath);
    if (!file.open(QIODevice::ReadOnly)) {
        showError(tr("%1 could not be read: %2").arg(native(m_filePath), file.errorString()));
        return false;
    }
    const QByteArray bytes = file.readAll();
    if (file.error() != QFileDevice::NoError) {
        showError(tr("%1 could not be read: %2").arg(native(m_filePath), file.errorString()));
        return false;
    }

    QString text;
    if (auto utf8 = decodeUtf8(bytes)) {
        m_encoding = Encoding::Utf8;
        text = *utf8;
        m_byteOrderMark = text.startsWith(QChar(0xFEFF));
        if (m_byteOrderMark)
            text.remove(0, 1);
    } else {
        m_encoding = Encoding::Cp1252;
        text = keys::cp1252::decode(bytes);
    }

    m_lineBreak = lineBreakOf(bytes);
    text.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
    text.replace(u'\r', u'\n');
    m_text->setPlainText(text);
    // Taken from the text box, not from the file: what the box cannot hold exactly (a paragraph
    // separator, say) does not count as an edit.
    m_loadedText = editorText();
    return true;
}

bool frmEdit::edit(QWidget* parent, const QString& appDir, const QString& filePath, Prompter& prompter)
{
    frmEdit editor(appDir, filePath, prompter, parent);
    if (!editor.load())
        return false;
    editor.exec();
    return editor.written();
}

void frmEdit::keyPressEvent(QKeyEvent* event)
{
    // A stray Escape would close the editor and drop the edits; only the close box does that.
    if (event->key() == Qt::Key_Escape) {
        event->accept();
        return;
    }
    QDialog::keyPressEvent(event);
}

void frmEdit::applyAppearance(const EditorAppearance& appearance)
{
    m_backgroundValue = appearance.background;
    m_foregroundValue = appearance.foreground;
    QPalette palette = m_text->palette();
    const QColor background = EditorAppearance::colourOf(m_backgroundValue);
    const QColor foreground = EditorAppearance::colourOf(m_foregroundValue);
    palette.setColor(QPalette::Base, background.isValid() ? background : m_defaultPalette.color(QPalette::Base));
    palette.setColor(QPalette::Text, foreground.isValid() ? foreground : m_defaultPalette.color(QPalette::Text));
    m_text->setPalette(palette);

    QFont font = m_text->font();
    if (!appearance.fontName.isEmpty())
        font.setFamily(appearance.fontName);
    if (appearance.pointSize > 0)
        font.setPointSizeF(appearance.pointSize);
    m_text->setFont(font);
}

EditorAppearance frmEdit::currentAppearance() const
{
    EditorAppearance appearance;
    appearance.background = m_backgroundValue;
    appearance.foreground = m_foregroundValue;
    const QFont font = m_text->font();
    appearance.pointSize = font.pointSizeF() > 0 ? font.pointSizeF() : QFontInfo(font).pointSizeF();
    appearance.fontName = font.family();
    return appearance;
}

void frmEdit::chooseColour(bool background)
{
    const QColor current = m_text->palette().color(background ? QPalette::Base : QPalette::Text);
    const std::optional<QColor> chosen = m_chooseColor(this, current, background ? tr("Background") : tr("Foreground"));
    if (!chosen || !chosen->isValid())
        return;  // cancelled: nothing changes
    EditorAppearance appearance = currentAppearance();
    (background ? appearance.background : appearance.foreground) = EditorAppearance::colourValue(*chosen);
    applyAppearance(appearance);
}

void frmEdit::chooseFont()
{
    const std::optional<QFont> chosen = m_chooseFont(this, m_text->font());
    if (!chosen || chosen->family().isEmpty())
        return;
    m_text->setFont(*chosen);
}

void frmEdit::saveAppearance()
{
    const QString path = m_appDir + QLatin1String(keys::files::kEditorFont);
    const QByteArray bytes = currentAppearance().write();
    QSaveFile out(path);
    if (!out.open(QIODevice::WriteOnly) || out.write(bytes) != bytes.size() || !out.commit())
        showError(tr("%1 could not be written: %2").arg(native(path), out.errorString()));
}

QString frmEdit::editorText() const
{
    // toPlainText() would turn no-break spaces into blanks; the raw text keeps every character
    // and separates the lines with U+2029.
    QString text = m_text->document()->toRawText();
    text.replace(QChar::ParagraphSeparator, u'\n');
    return text;
}

std::optional<QByteArray> frmEdit::encodeText(const QString& text, QString* refusal) const
{
    QString withBreaks = text;
    if (m_lineBreak != "\n")
        withBreaks.replace(u'\n', QString::fromLatin1(m_lineBreak));
    if (m_encoding == Encoding::Cp1252) {
        if (const std::optional<QChar> c = keys::cp1252::firstUnencodable(withBreaks)) {
            const QString code = QString::number(c->unicode(), 16).toUpper().rightJustified(4, u'0');
            *refusal = tr("The text holds the character \u201C%1\u201D (U+%2), which this file's encoding "
                          "(Windows-1252) cannot hold. The file was not changed.")
                           .arg(QString(*c), code);
            return std::nullopt;
        }
        return keys::cp1252::encode(withBreaks);
    }
    QStringEncoder utf8(QStringEncoder::Utf8);
    QByteArray bytes = utf8(withBreaks);
    if (utf8.hasError()) {
        *refusal = tr("The text holds a character that cannot be written as UTF-8. The file was not changed.");
        return std::nullopt;
    }
    return m_byteOrderMark ? kUtf8Bom + bytes : bytes;
}

void frmEdit::writeAndClose()
{
    const QString text = editorText();
    if (text == m_loadedText) {
        // Nothing edited: the file keeps its bytes without being rewritten (which could only
        // fail, in a directory the user may not write to).
        m_written = true;
        accept();
        return;
    }
    QString refusal;
    const std::optional<QByteArray> bytes = encodeText(text, &refusal);
    if (!bytes) {
        m_prompter.warning(this, kAppTitle, refusal);
        return;
    }
    // QSaveFile writes beside the file and renames over it on commit, so a failed write leaves
    // the file as it was.
    QSaveFile out(m_filePath);
    if (!out.open(QIODevice::WriteOnly) || out.write(*bytes) != bytes->size() || !out.commit()) {
        showError(tr("%1 could not be written: %2").arg(native(m_filePath), out.errorString()));
        return;
    }
    m_loadedText = text;
    m_written = true;
    accept();
}

void frmEdit::showError(const QString& reason)
{
    m_prompter.warning(isVisible() ? this : parentWidget(), kAppTitle, QStringLiteral("There was the error - ") + reason);
}

}  // namespace zephra::dialogs
