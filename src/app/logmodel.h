// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The main window's log list: the lines of the run, kept to the last MaxRows (the "Log" file
// in the data directory keeps what the readers' decoder writes; this list is for the eye).
// Lines arrive one by one and are inserted in batches: every line added before the event loop
// next runs goes in with one insert, after which batchInserted() lets the view scroll once.
//
// Owned by the main window; window thread only.
#include <QAbstractListModel>
#include <QStringList>
#include <deque>

namespace qm {

class LogModel : public QAbstractListModel {
    Q_OBJECT
  public:
    static constexpr int MaxRows = 5000;

    explicit LogModel(QObject* parent = nullptr);

    // Queues a line; it is shown with the rest of its batch.
    void append(const QString& line);
    // Inserts the queued lines now.
    void flush();
    QString line(int row) const;

    int rowCount(const QModelIndex& parent = QModelIndex()) const override;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;

  signals:
    void batchInserted();

  private:
    std::deque<QString> m_rows;
    QStringList m_pending;
    bool m_flushQueued = false;
};

}  // namespace qm
