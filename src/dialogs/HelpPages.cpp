#include "dialogs/HelpPages.h"

#include "keys/AppDir.h"
#include "keys/RecordFile.h"

#include <QFile>
#include <QFileInfo>
#include <QSaveFile>

// Resources of a static library are registered by name, outside any namespace.
static void initHelpResources() { Q_INIT_RESOURCE(zephraftp); }

namespace zephra::dialogs {

QStringList helpPages() { return {kOverviewPage, kKeyPage, kSendPage}; }

QStringList installHelpPages(const QString& appDir)
{
    initHelpResources();
    QStringList failed;
    for (const QString& page : helpPages()) {
        const QString target = appDir + page;
        if (QFileInfo::exists(target))
            continue;
        QFile source(QStringLiteral(":/help/") + page);
        QSaveFile out(target);
        if (!source.open(QIODevice::ReadOnly) || !out.open(QIODevice::WriteOnly)
            || out.write(source.readAll()) < 0 || !out.commit()) {
            failed.append(page);
            continue;
        }
        keys::setOwnerOnly(target);
    }
    return failed;
}

QString helpPageCaption(const QString& page)
{
    if (page == kOverviewPage)
        return QStringLiteral("Overview");
    if (page == kKeyPage)
        return QStringLiteral("Key Management");
    if (page == kSendPage)
        return QStringLiteral("Sending and Receiving Files");
    return QStringLiteral("Web Message");
}

bool noticeWanted(const QString& appDir)
{
    const QString path = appDir + QLatin1String(keys::files::kNoticeMarker);
    (void)keys::recordfile::ensureExists(path);  // a marker that cannot be created: notice shown
    return QFileInfo(path).size() == 0;
}

bool writeNoticeMarker(const QString& appDir)
{
    const QString path = appDir + QLatin1String(keys::files::kNoticeMarker);
    QSaveFile out(path);
    if (!out.open(QIODevice::WriteOnly) || out.write("Done\r\n") != 6 || !out.commit())
        return false;
    keys::setOwnerOnly(path);
    return true;
}

}  // namespace zephra::dialogs
