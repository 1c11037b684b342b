// SPDX-License-Identifier: GPL-3.0-or-later
#include "app/availablegroupsmodel.h"

#include <algorithm>

#include "model/groupentry.h"

namespace qm {

namespace {

// Small batches go in row by row, keeping the view's selection; beyond this a batch resets
// the model once (the list is being filled and nothing is selected worth keeping).
constexpr std::size_t RowByRowLimit = 32;

bool byName(const GroupEntry* a, const GroupEntry* b) {
    return a->name() < b->name();
}

}  // namespace

AvailableGroupsModel::AvailableGroupsModel(QObject* parent) : QAbstractListModel(parent) {}

void AvailableGroupsModel::setIcons(QIcon notSubscribed, QIcon subscribed) {
    m_notSubscribed = std::move(notSubscribed);
    m_subscribed = std::move(subscribed);
}

int AvailableGroupsModel::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : static_cast<int>(m_rows.size());
}

QVariant AvailableGroupsModel::data(const QModelIndex& index, int role) const {
    const GroupEntry* g = group(index.row());
    if (!g || index.column() != 0) return {};
    if (role == Qt::DisplayRole) return QString::fromStdString(g->name());
    if (role == Qt::DecorationRole) return g->has(Subscribed) ? m_subscribed : m_notSubscribed;
    return {};
}

QVariant AvailableGroupsModel::headerData(int section, Qt::Orientation orientation,
                                          int role) const {
    if (section != 0 || orientation != Qt::Horizontal || role != Qt::DisplayRole) return {};
    return QStringLiteral("Available news groups (%1)").arg(m_rows.size());
}

void AvailableGroupsModel::addGroups(std::vector<GroupEntry*> groups) {
    std::erase_if(groups, [](GroupEntry* g) { return g->has(ShownAvailable); });
    std::sort(groups.begin(), groups.end(), byName);
    groups.erase(std::unique(groups.begin(), groups.end(),
                             [](auto* a, auto* b) { return a->name() == b->name(); }),
                 groups.end());
    if (groups.empty()) return;
    for (GroupEntry* g : groups) g->set(ShownAvailable);
    if (groups.size() <= RowByRowLimit && !m_rows.empty()) {
        for (GroupEntry* g : groups) {
            const auto at = std::lower_bound(m_rows.begin(), m_rows.end(), g, byName);
            const int row = static_cast<int>(at - m_rows.begin());
            beginInsertRows({}, row, row);
            m_rows.insert(at, g);
            endInsertRows();
        }
    } else {
        beginResetModel();
        const auto middle = m_rows.insert(m_rows.end(), groups.begin(), groups.end());
        std::inplace_merge(m_rows.begin(), middle, m_rows.end(), byName);
        endResetModel();
    }
    emit headerDataChanged(Qt::Horizontal, 0, 0);
}

void AvailableGroupsModel::clear() {
    beginResetModel();
    for (GroupEntry* g : m_rows) g->clear(ShownAvailable);
    m_rows.clear();
    endResetModel();
    emit headerDataChanged(Qt::Horizontal, 0, 0);
}

void AvailableGroupsModel::removeIf(const std::function<bool(const GroupEntry&)>& drop) {
    beginResetModel();
    std::erase_if(m_rows, [&](GroupEntry* g) {
        if (!drop(*g)) return false;
        g->clear(ShownAvailable);
        return true;
    });
    endResetModel();
    emit headerDataChanged(Qt::Horizontal, 0, 0);
}

void AvailableGroupsModel::removeGroup(const GroupEntry& group) {
    const int row = rowOf(group);
    if (row < 0) return;
    beginRemoveRows({}, row, row);
    m_rows[static_cast<std::size_t>(row)]->clear(ShownAvailable);
    m_rows.erase(m_rows.begin() + row);
    endRemoveRows();
    emit headerDataChanged(Qt::Horizontal, 0, 0);
}

void AvailableGroupsModel::refresh(const GroupEntry& group) {
    const int row = rowOf(group);
    if (row >= 0) emit dataChanged(index(row), index(row), {Qt::DecorationRole});
}

GroupEntry* AvailableGroupsModel::group(int row) const {
    if (row < 0 || row >= rowCount()) return nullptr;
    return m_rows[static_cast<std::size_t>(row)];
}

int AvailableGroupsModel::rowOf(const GroupEntry& group) const {
    const auto at = std::lower_bound(
        m_rows.begin(), m_rows.end(), group.name(),
        [](const GroupEntry* g, const std::string& name) { return g->name() < name; });
    if (at == m_rows.end() || (*at)->name() != group.name()) return -1;
    return static_cast<int>(at - m_rows.begin());
}

}  // namespace qm
