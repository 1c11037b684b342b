// SPDX-License-Identifier: GPL-3.0-or-later
#include "app/logmodel.h"

#include <QTimer>

namespace qm {

LogModel::LogModel(QObject* parent) : QAbstractListModel(parent) {}

void LogModel::append(const QString& line) {
    m_pending << line;
    if (m_flushQueued) return;
    m_flushQueued = true;
    QTimer::singleShot(0, this, &LogModel::flush);
}

void LogModel::flush() {
    m_flushQueued = false;
    if (m_pending.isEmpty()) return;
    // Lines that would be trimmed at once are never inserted.
    if (m_pending.size() > MaxRows) m_pending.erase(m_pending.begin(), m_pending.end() - MaxRows);
    const int overflow = static_cast<int>(m_rows.size()) + m_pending.size() - MaxRows;
    if (overflow > 0) {
        beginRemoveRows({}, 0, overflow - 1);
        m_rows.erase(m_rows.begin(), m_rows.begin() + overflow);
        endRemoveRows();
    }
    const int first = static_cast<int>(m_rows.size());
    beginInsertRows({}, first, first + m_pending.size() - 1);
    m_rows.insert(m_rows.end(), m_pending.begin(), m_pending.end());
    endInsertRows();
    m_pending.clear();
    emit batchInserted();
}

QString LogModel::line(int row) const {
    return row >= 0 && row < static_cast<int>(m_rows.size()) ? m_rows[row] : QString();
}

int LogModel::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : static_cast<int>(m_rows.size());
}

QVariant LogModel::data(const QModelIndex& index, int role) const {
    if (role != Qt::DisplayRole || !index.isValid()) return {};
    return line(index.row());
}

}  // namespace qm
