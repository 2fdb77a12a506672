#pragma once
// The flat server directory tree (TView1): "..", then one node per directory of the listing.

#include <QAbstractListModel>

#include <vector>

#include "browse/FileIcons.h"
#include "browse/ServerListing.h"

namespace zephra::browse {

class ServerDirModel final : public QAbstractListModel {
    Q_OBJECT
public:
    enum Role { KeyRole = Qt::UserRole + 1, RawNameRole, OfferedRole };
    static constexpr const char* kParentKey = "..";

    explicit ServerDirModel(QObject* parent = nullptr);

    // Rebuilds the nodes: ".." first, then `directories` in their order. clear() leaves no node
    // at all (a closed session).
    void setDirectories(std::vector<ServerDirectory> directories);
    void clear();
    // The tree's header: the directory the nodes belong to, as shown.
    void setHeaderText(const QString& text);
    bool isParentRow(int row) const { return row == 0 && m_hasParent; }
    // Row 0 is ".."; directory rows follow.
    const ServerDirectory& directory(int row) const { return m_dirs[std::size_t(row - 1)]; }
    const std::vector<ServerDirectory>& directories() const { return m_dirs; }

    int rowCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role) const override;
    Qt::ItemFlags flags(const QModelIndex& index) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role = Qt::DisplayRole) const override;

private:
    std::vector<ServerDirectory> m_dirs;
    QString m_headerText;
    bool m_hasParent = false;
    IconSet m_icons;
};

}  // namespace zephra::browse
