#pragma once
// Shared set-up of the two report-style file lists (ListView1, ListView2) and of the browsers'
// popup menus.

#include <initializer_list>

class QMenu;
class QTreeView;
class QWidget;

namespace zephra::browse {

// Three sortable columns, several rows selectable, uniform rows (fast with 100 000 rows), the
// listing's own order until a header is clicked.
void setUpFileListView(QTreeView* view);

// One popup menu item, found by its objectName; a null name stands for a separator.
struct PopupItem {
    const char* name;
    const char* caption;
};
QMenu* makePopupMenu(QWidget* owner, const char* name, std::initializer_list<PopupItem> items);

}  // namespace zephra::browse
