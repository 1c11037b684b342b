// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The available-groups list: the shown groups sorted by name, one column titled
// "Available news groups (N)", with the subscribed or not-subscribed icon. Built for long
// lists: groups arrive in batches that are merged in one step.
//
// Owned by the main window; window thread only. It does not own the groups; it keeps each
// group's ShownAvailable flag in step with its rows.
#include <QAbstractListModel>
#include <QIcon>
#include <functional>
#include <vector>

namespace qm {

class GroupEntry;

class AvailableGroupsModel : public QAbstractListModel {
    Q_OBJECT
  public:
    explicit AvailableGroupsModel(QObject* parent = nullptr);

    void setIcons(QIcon notSubscribed, QIcon subscribed);

    int rowCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role) const override;

    // Adds the groups that are not shown yet, keeping the order; sets ShownAvailable.
    void addGroups(std::vector<GroupEntry*> groups);
    // Removes every row, clearing ShownAvailable.
    void clear();
    // Removes the rows whose group drop accepts, clearing their ShownAvailable.
    void removeIf(const std::function<bool(const GroupEntry&)>& drop);
    void removeGroup(const GroupEntry& group);
    // The row of a group's icon changed (subscribed or not).
    void refresh(const GroupEntry& group);

    GroupEntry* group(int row) const;
    int rowOf(const GroupEntry& group) const;

  private:
    std::vector<GroupEntry*> m_rows;  // sorted by name
    QIcon m_notSubscribed;
    QIcon m_subscribed;
};

}  // namespace qm
