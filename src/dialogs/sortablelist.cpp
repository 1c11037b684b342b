// SPDX-License-Identifier: GPL-3.0-or-later
#include "dialogs/sortablelist.h"

#include <QHeaderView>
#include <vector>

namespace qm {

namespace {

// Byte order of the texts as UTF-8, the order of a plain strcmp.
int compareBytes(const QTreeWidgetItem* a, const QTreeWidgetItem* b, int column) {
    const QByteArray x = a->text(column).toUtf8();
    const QByteArray y = b->text(column).toUtf8();
    return x < y ? -1 : (y < x ? 1 : 0);
}

void partitionSort(std::vector<QTreeWidgetItem*>& rows, int low, int high, int column,
                   bool ascending) {
    if (low >= high) return;
    const QTreeWidgetItem* pivot = rows[static_cast<std::size_t>(low + (high - low) / 2)];
    const auto before = [&](const QTreeWidgetItem* a, const QTreeWidgetItem* b) {
        const int c = compareBytes(a, b, column);
        return ascending ? c < 0 : c > 0;
    };
    int i = low;
    int j = high;
    while (i <= j) {
        while (before(rows[static_cast<std::size_t>(i)], pivot)) ++i;
        while (before(pivot, rows[static_cast<std::size_t>(j)])) --j;
        if (i <= j)
            std::swap(rows[static_cast<std::size_t>(i++)], rows[static_cast<std::size_t>(j--)]);
    }
    partitionSort(rows, low, j, column, ascending);
    partitionSort(rows, i, high, column, ascending);
}

}  // namespace

SortableList::SortableList(QWidget* parent) : QTreeWidget(parent) {
    setRootIsDecorated(false);
    setUniformRowHeights(true);
    setAllColumnsShowFocus(true);
    header()->setSectionsClickable(true);
    header()->setSortIndicatorShown(false);
    connect(header(), &QHeaderView::sectionClicked, this, &SortableList::sortByText);
}

void SortableList::sortByText(int column) {
    m_ascending = column != m_sortedColumn ? true : !m_ascending;
    m_sortedColumn = column;
    const int count = topLevelItemCount();
    if (count < 2) return;
    QTreeWidgetItem* focused = currentItem();
    std::vector<QTreeWidgetItem*> rows;
    std::vector<QTreeWidgetItem*> selected;
    for (int i = 0; i < count; ++i) {
        rows.push_back(topLevelItem(i));
        if (rows.back()->isSelected()) selected.push_back(rows.back());
    }
    partitionSort(rows, 0, count - 1, column, m_ascending);
    // Taking the rows out drops their selection; it is put back afterwards.
    while (topLevelItemCount() > 0) takeTopLevelItem(0);
    for (QTreeWidgetItem* row : rows) addTopLevelItem(row);
    if (focused) setCurrentItem(focused, 0, QItemSelectionModel::NoUpdate);
    for (QTreeWidgetItem* row : selected) row->setSelected(true);
}

void SortableList::insertByTitle(QTreeWidgetItem* row) {
    // After every row with an equal or smaller title (binary search: lists can be long).
    int low = 0;
    int high = topLevelItemCount();
    while (low < high) {
        const int mid = low + (high - low) / 2;
        if (compareBytes(topLevelItem(mid), row, 0) <= 0)
            low = mid + 1;
        else
            high = mid;
    }
    insertTopLevelItem(low, row);
}

}  // namespace qm
