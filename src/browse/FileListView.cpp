#include "browse/FileListView.h"

#include <QMenu>

#include <QFontMetrics>
#include <QStyle>

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
    // The name takes the room that is left; size and date keep the width their text needs, so
    // a date is never cut however narrow the window (measured once, not per row: lists can be long).
    header->setStretchLastSection(false);
    header->setSectionResizeMode(0, QHeaderView::Stretch);
    const QFontMetrics metrics(view->font());
    const int padding = 2 * view->style()->pixelMetric(QStyle::PM_HeaderMargin) + 24;
    view->setColumnWidth(1, metrics.horizontalAdvance(QStringLiteral("999,999,999,999")) + padding);
    view->setColumnWidth(2, metrics.horizontalAdvance(QStringLiteral("2026-12-31 23:59")) + padding);
}

QMenu* makePopupMenu(QWidget* owner, const char* name, std::initializer_list<PopupItem> items)
{
    auto* menu = new QMenu(owner);
    menu->setObjectName(QLatin1String(name));
    for (const PopupItem& item : items) {
        if (!item.name) {
            menu->addSeparator();
            continue;
        }
        menu->addAction(QString::fromLatin1(item.caption))->setObjectName(QLatin1String(item.name));
    }
    return menu;
}

}  // namespace zephra::browse
