#include "browse/FileIcons.h"

#include <QStringList>

namespace zephra::browse {

namespace {

struct ExtensionIcon {
    const char16_t* extension;
    std::uint16_t icon;
};

// "vaw" is kept as it was always listed next to "au" (it is not "wav"); users rely on the
// table being stable more than on it being complete.
constexpr ExtensionIcon kTable[] = {
    {u"avi", kIconVideo},   {u"mpg", kIconVideo},   {u"mpeg", kIconVideo},  {u"mov", kIconVideo},
    {u"gif", kIconAnimation},
    {u"jpg", kIconPicture}, {u"jpeg", kIconPicture}, {u"jpe", kIconPicture}, {u"bmp", kIconPicture},
    {u"htm", kIconWebPage}, {u"html", kIconWebPage}, {u"xml", kIconWebPage}, {u"asp", kIconWebPage},
    {u"js", kIconScript},   {u"css", kIconScript},  {u"cgi", kIconScript},
    {u"mp3", kIconAudio},   {u"ram", kIconAudio},   {u"au", kIconAudio},    {u"vaw", kIconAudio},
    {u"zip", kIconArchive}, {u"arj", kIconArchive},
    {u"exe", kIconProgram}, {u"com", kIconProgram}, {u"bat", kIconProgram},
    {u"txt", kIconText},    {u"log", kIconText},    {u"doc", kIconText},    {u"rtf", kIconText},
    {u"ftp", kIconText},    {u"ini", kIconText},    {u"dat", kIconText},
};

const char* const kFiles[kIconCount] = {
    "01-picture", "02-web-page", "03-text", "04-animation", "05-script", "06-audio", "07-archive",
    "08-video", "09-program", "10-file", "11-drive", "12-folder", "13-folder-open",
};

}  // namespace

std::uint16_t GetFileIcon(QStringView name)
{
    const qsizetype dot = name.lastIndexOf(u'.');
    const QStringView extension = dot < 0 ? name : name.mid(dot + 1);
    if (extension.isEmpty() || extension.size() > 4)
        return kIconOtherFile;
    // Lower-case into a small buffer: this runs once per row of a 100 000-entry listing.
    char16_t lower[4];
    for (qsizetype i = 0; i < extension.size(); ++i) {
        const char16_t c = extension[i].unicode();
        lower[i] = (c >= u'A' && c <= u'Z') ? char16_t(c + 32) : c;
    }
    const std::u16string_view key(lower, std::size_t(extension.size()));
    for (const ExtensionIcon& row : kTable) {
        if (key == row.extension)
            return row.icon;
    }
    return kIconOtherFile;
}

IconSet::IconSet()
{
    for (int i = 1; i <= kIconCount; ++i)
        m_icons[i] = QIcon(QStringLiteral(":/icons/%1.png").arg(QLatin1String(kFiles[i - 1])));
    m_icons[0] = m_icons[kIconOtherFile];
    const QString closed = QStringLiteral(":/icons/12-folder.png");
    const QString open = QStringLiteral(":/icons/13-folder-open.png");
    m_folder.addFile(closed, {}, QIcon::Normal, QIcon::Off);
    m_folder.addFile(open, {}, QIcon::Selected, QIcon::Off);
    m_folder.addFile(open, {}, QIcon::Active, QIcon::On);
}

const QIcon& IconSet::icon(int index) const
{
    if (index < 1 || index > kIconCount)
        return m_icons[0];
    return m_icons[index];
}

}  // namespace zephra::browse
