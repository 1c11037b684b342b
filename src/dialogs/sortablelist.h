// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// A report list whose column headings sort the rows by that column's text, compared byte by
// byte (case-sensitive): ascending on a new column, then alternating on the same one. Rows
// move whole, with their icon, selection and data.
//
// Owned by its parent window; window thread only.
#include <QTreeWidget>

namespace qm {

class SortableList : public QTreeWidget {
    Q_OBJECT
  public:
    explicit SortableList(QWidget* parent = nullptr);

    void sortByText(int column);
    int sortedColumn() const { return m_sortedColumn; }
    bool ascending() const { return m_ascending; }

    // Inserts row at the position that keeps column 0 in ascending byte order.
    void insertByTitle(QTreeWidgetItem* row);

  private:
    int m_sortedColumn = -1;
    bool m_ascending = false;
};

}  // namespace qm
