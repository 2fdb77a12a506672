#pragma once
// Shared set-up of the two report-style file lists (ListView1, ListView2).

class QTreeView;

namespace zephra::browse {

// Three sortable columns, several rows selectable, uniform rows (fast with 100 000 rows), the
// listing's own order until a header is clicked.
void setUpFileListView(QTreeView* view);

}  // namespace zephra::browse
