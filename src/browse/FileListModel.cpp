#include "browse/FileListModel.h"

#include <QLocale>

#include <algorithm>
#include <numeric>

namespace zephra::browse {

FileListModel::FileListModel(QObject* parent) : QAbstractTableModel(parent) {}

QString formatSize(qint64 size)
{
    if (size < 0)
        return {};
    return QLocale().toString(size);
}

qint64 wallClockKey(const QDateTime& when)
{
    if (!when.isValid())
        return -1;
    const QDate d = when.date();
    return (d.toJulianDay() - QDate(1, 1, 1).toJulianDay()) * 86400 + when.time().msecsSinceStartOfDay() / 1000;
}

QString formatWallClock(qint64 key)
{
    if (key < 0)
        return {};
    const QDate d = QDate::fromJulianDay(key / 86400 + QDate(1, 1, 1).toJulianDay());
    const int minutes = int(key % 86400) / 60;
    return QStringLiteral("%1-%2-%3 %4:%5")
        .arg(d.year(), 4, 10, QLatin1Char('0'))
        .arg(d.month(), 2, 10, QLatin1Char('0'))
        .arg(d.day(), 2, 10, QLatin1Char('0'))
        .arg(minutes / 60, 2, 10, QLatin1Char('0'))
        .arg(minutes % 60, 2, 10, QLatin1Char('0'));
}

void FileListModel::setRows(std::vector<FileRow> rows)
{
    for (std::size_t i = 0; i < rows.size(); ++i)
        rows[i].fileOrder = int(i);
    sortRows(rows);
    beginResetModel();
    m_rows = std::move(rows);
    endResetModel();
}

void FileListModel::clear()
{
    setRows({});
}

int FileListModel::rowCount(const QModelIndex& parent) const
{
    return parent.isValid() ? 0 : int(m_rows.size());
}

int FileListModel::columnCount(const QModelIndex& parent) const
{
    return parent.isValid() ? 0 : ColumnCount;
}

QVariant FileListModel::data(const QModelIndex& index, int role) const
{
    if (!index.isValid() || index.row() >= int(m_rows.size()))
        return {};
    const FileRow& r = m_rows[std::size_t(index.row())];
    switch (role) {
    case Qt::DisplayRole:
        switch (index.column()) {
        case NameColumn: return r.name;
        case SizeColumn: return formatSize(r.size);
        case DateColumn: return formatWallClock(r.modified);
        }
        break;
    case Qt::DecorationRole:
        if (index.column() == NameColumn)
            return m_icons.icon(r.icon);
        break;
    case Qt::TextAlignmentRole:
        if (index.column() == SizeColumn)
            return QVariant::fromValue(Qt::AlignRight | Qt::AlignVCenter);
        break;
    case Qt::ToolTipRole:
        if (!r.offered)
            return tr("This name cannot be used as a local file name; it is not offered for download.");
        break;
    case RawNameRole: return r.rawName;
    case OfferedRole: return r.offered;
    case IconIndexRole: return int(r.icon);
    case SizeRole: return r.size;
    }
    return {};
}

QVariant FileListModel::headerData(int section, Qt::Orientation orientation, int role) const
{
    if (orientation != Qt::Horizontal || role != Qt::DisplayRole)
        return QAbstractTableModel::headerData(section, orientation, role);
    switch (section) {
    case NameColumn: return QStringLiteral(u"Název Souboru");
    case SizeColumn: return QStringLiteral(u"Velikost");
    case DateColumn: return QStringLiteral(u"Datum");
    }
    return {};
}

Qt::ItemFlags FileListModel::flags(const QModelIndex& index) const
{
    if (!index.isValid() || !m_rows[std::size_t(index.row())].offered)
        return Qt::NoItemFlags;
    return Qt::ItemIsEnabled | Qt::ItemIsSelectable | Qt::ItemNeverHasChildren;
}

void FileListModel::sortRows(std::vector<FileRow>& rows) const
{
    const bool descending = m_sortOrder == Qt::DescendingOrder;
    auto byOrder = [](const FileRow& a, const FileRow& b) { return a.fileOrder < b.fileOrder; };
    auto byName = [](const FileRow& a, const FileRow& b) {
        int c = QString::compare(a.name, b.name, Qt::CaseInsensitive);
        if (c == 0)
            c = QString::compare(a.name, b.name, Qt::CaseSensitive);
        return c != 0 ? c < 0 : a.fileOrder < b.fileOrder;
    };
    // Equal keys fall back to the name, so a sort by size or date reads naturally.
    auto byKey = [&byName](qint64 FileRow::*key) {
        return [key, &byName](const FileRow& a, const FileRow& b) {
            return a.*key != b.*key ? a.*key < b.*key : byName(a, b);
        };
    };
    switch (m_sortColumn) {
    case NameColumn: std::sort(rows.begin(), rows.end(), byName); break;
    case SizeColumn: std::sort(rows.begin(), rows.end(), byKey(&FileRow::size)); break;
    case DateColumn: std::sort(rows.begin(), rows.end(), byKey(&FileRow::modified)); break;
    default: std::sort(rows.begin(), rows.end(), byOrder); return;
    }
    if (descending)
        std::reverse(rows.begin(), rows.end());
}

void FileListModel::sort(int column, Qt::SortOrder order)
{
    m_sortColumn = column >= 0 && column < ColumnCount ? column : -1;
    m_sortOrder = order;
    emit layoutAboutToBeChanged({}, QAbstractItemModel::VerticalSortHint);
    // Keep selections and the current row on the same files while they move.
    const QModelIndexList before = persistentIndexList();
    std::vector<int> oldOrder(m_rows.size());
    for (std::size_t i = 0; i < m_rows.size(); ++i)
        oldOrder[i] = m_rows[i].fileOrder;
    sortRows(m_rows);
    std::vector<int> newRowOfOrder(m_rows.size());
    for (std::size_t i = 0; i < m_rows.size(); ++i)
        newRowOfOrder[std::size_t(m_rows[i].fileOrder)] = int(i);
    QModelIndexList after;
    after.reserve(before.size());
    for (const QModelIndex& idx : before) {
        const int moved = newRowOfOrder[std::size_t(oldOrder[std::size_t(idx.row())])];
        after.append(index(moved, idx.column()));
    }
    changePersistentIndexList(before, after);
    emit layoutChanged({}, QAbstractItemModel::VerticalSortHint);
}

}  // namespace zephra::browse
