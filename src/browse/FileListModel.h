#pragma once
// The three-column file list shared by the server list (ListView2) and the local list
// (ListView1): name with its picture, size, date; sorted by a header click inside the model, so
// a 100 000-row list sorts without a proxy.

#include <QAbstractTableModel>
#include <QByteArray>
#include <QDateTime>
#include <QString>

#include <cstdint>
#include <vector>

#include "browse/FileIcons.h"

namespace zephra::browse {

struct FileRow {
    QString name;            // as shown
    QByteArray rawName;      // the server's exact bytes; empty for local rows
    qint64 size = -1;        // -1: not known
    qint64 modified = -1;    // wall-clock seconds as the date is shown (wallClockKey); -1: not known
    std::uint16_t icon = kIconOtherFile;
    bool offered = true;     // false: a hostile server name, shown greyed and never selectable
    bool guessed = false;    // server: the listing line had no known shape; shown in italics
    bool isLink = false;     // server: a symbolic link; whether it leads to a directory is unknown
    QString linkTarget;      // server: the link's target as shown, when the server named it
    int fileOrder = 0;       // position in the listing, restored by sort(-1); set by setRows
};

class FileListModel final : public QAbstractTableModel {
    Q_OBJECT
public:
    enum Column { NameColumn, SizeColumn, DateColumn, ColumnCount };
    enum Role { RawNameRole = Qt::UserRole + 1, OfferedRole, IconIndexRole, SizeRole, IsLinkRole, LinkTargetRole, GuessedRole };

    explicit FileListModel(QObject* parent = nullptr);

    // Replaces every row (in listing order) and re-applies the current sort.
    void setRows(std::vector<FileRow> rows);
    void clear();
    const FileRow& row(int r) const { return m_rows[std::size_t(r)]; }
    const std::vector<FileRow>& rows() const { return m_rows; }
    int sortColumn() const { return m_sortColumn; }
    Qt::SortOrder sortOrder() const { return m_sortOrder; }

    int rowCount(const QModelIndex& parent = {}) const override;
    int columnCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role) const override;
    Qt::ItemFlags flags(const QModelIndex& index) const override;
    // column -1 restores the listing's own order.
    void sort(int column, Qt::SortOrder order = Qt::AscendingOrder) override;

private:
    void sortRows(std::vector<FileRow>& rows) const;

    std::vector<FileRow> m_rows;
    IconSet m_icons;
    int m_sortColumn = -1;
    Qt::SortOrder m_sortOrder = Qt::AscendingOrder;
};

// Size as shown in the "Velikost" column: exact bytes with digit grouping.
QString formatSize(qint64 size);

// A date and time as its wall-clock reading in seconds (no time-zone lookup: converting
// 100 000 listing dates through the zone database costs seconds), -1 for an invalid one.
qint64 wallClockKey(const QDateTime& when);
// "Datum" as shown on both sides: "yyyy-MM-dd HH:mm"; empty for -1.
QString formatWallClock(qint64 key);

}  // namespace zephra::browse
