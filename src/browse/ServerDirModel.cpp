#include "browse/ServerDirModel.h"

#include <QFont>

namespace zephra::browse {

ServerDirModel::ServerDirModel(QObject* parent) : QAbstractListModel(parent) {}

void ServerDirModel::setDirectories(std::vector<ServerDirectory> directories)
{
    beginResetModel();
    m_dirs = std::move(directories);
    m_hasParent = true;
    endResetModel();
}

void ServerDirModel::clear()
{
    beginResetModel();
    m_dirs.clear();
    m_hasParent = false;
    endResetModel();
}

void ServerDirModel::setHeaderText(const QString& text)
{
    m_headerText = text;
    emit headerDataChanged(Qt::Horizontal, 0, 0);
}

QVariant ServerDirModel::headerData(int section, Qt::Orientation orientation, int role) const
{
    if (section == 0 && orientation == Qt::Horizontal && (role == Qt::DisplayRole || role == Qt::ToolTipRole))
        return m_headerText;
    return QAbstractListModel::headerData(section, orientation, role);
}

int ServerDirModel::rowCount(const QModelIndex& parent) const
{
    if (parent.isValid() || !m_hasParent)
        return 0;
    return int(m_dirs.size()) + 1;
}

QVariant ServerDirModel::data(const QModelIndex& index, int role) const
{
    if (!index.isValid() || index.row() >= rowCount())
        return {};
    const bool parentRow = index.row() == 0;
    switch (role) {
    case Qt::DisplayRole:
    case KeyRole:
        return parentRow ? QString::fromLatin1(kParentKey) : directory(index.row()).name;
    case RawNameRole:
        return parentRow ? QByteArray(kParentKey) : directory(index.row()).rawName;
    case OfferedRole:
        return parentRow || directory(index.row()).offered;
    case Qt::DecorationRole:
        return m_icons.folder();
    case Qt::ToolTipRole:
        if (parentRow)
            break;
        if (!directory(index.row()).offered)
            return tr("This directory name holds characters that cannot be used safely.");
        if (directory(index.row()).guessed)
            return tr("The server listed this directory in a form this program does not know; its name "
                      "is taken as the text after the last blank of the line.");
        break;
    case Qt::FontRole:
        if (!parentRow && directory(index.row()).guessed) {
            QFont font;
            font.setItalic(true);
            return font;
        }
        break;
    }
    return {};
}

Qt::ItemFlags ServerDirModel::flags(const QModelIndex& index) const
{
    if (!index.isValid())
        return Qt::NoItemFlags;
    if (index.row() > 0 && !directory(index.row()).offered)
        return Qt::ItemNeverHasChildren;
    return Qt::ItemIsEnabled | Qt::ItemIsSelectable | Qt::ItemNeverHasChildren;
}

}  // namespace zephra::browse
