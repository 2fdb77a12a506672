#include "browse/FileListView.h"

#include <QHeaderView>
#include <QTreeView>

namespace zephra::browse {

void setUpFileListView(QTreeView* view)
{
    view->setRootIsDecorated(false);
    view->setItemsExpandable(false);
    view->setUniformRowHeights(true);
    view->setAllColumnsShowFocus(true);
    view->setSelectionMode(QAbstractItemView::ExtendedSelection);
    view->setSelectionBehavior(QAbstractItemView::SelectRows);
    view->setEditTriggers(QAbstractItemView::NoEditTriggers);
    view->setContextMenuPolicy(Qt::CustomContextMenu);
    QHeaderView* header = view->header();
    header->setSectionsClickable(true);
    header->setSortIndicatorShown(true);
    // No indicator until the user clicks a header: the rows stay in listing order.
    header->setSortIndicator(-1, Qt::AscendingOrder);
    view->setSortingEnabled(true);
    header->setStretchLastSection(true);
    view->setColumnWidth(0, 260);
    view->setColumnWidth(1, 100);
}

}  // namespace zephra::browse
