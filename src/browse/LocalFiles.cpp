#include "browse/LocalFiles.h"

#include <QDir>
#include <QFileInfo>

#include "browse/FileIcons.h"
#include "browse/ServerListing.h"

namespace zephra::browse {

std::vector<FileRow> readLocalFiles(const QString& directory, const QString& filter)
{
    const QFileInfoList entries =
        QDir(directory).entryInfoList(QDir::Files | QDir::NoDotAndDotDot,
                                      QDir::Name | QDir::IgnoreCase | QDir::LocaleAware);
    std::vector<FileRow> rows;
    rows.reserve(std::size_t(entries.size()));
    for (const QFileInfo& info : entries) {
        const QString name = info.fileName();
        if (!matchesExtensionFilter(name, filter))
            continue;
        FileRow row;
        row.name = name;
        row.icon = GetFileIcon(name);
        row.size = info.size();
        row.modified = wallClockKey(info.lastModified());
        rows.push_back(std::move(row));
    }
    return rows;
}

}  // namespace zephra::browse
