// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// "News group monitor": live figures of one group of the groups to retrieve while the
// readers fetch it (range, position, counters, how many readers work on it, the article being
// read with its line progress, or the position when several read it, the download rate of all
// readers), and "<<Set" to move the group's reading
// position.
//
// A window of its own beside the main window (not modal: Stop stays at hand), one at a time,
// opened by the main window on the window thread. It reads the groups' counters that the
// reader threads write, without a lock (they are atomics); the rate is the main window's
// figure of the run, read at every refresh.
#include <QDialog>
#include <QTimer>
#include <cstdint>
#include <functional>

class QComboBox;
class QLabel;
class QLineEdit;
class QProgressBar;
class QPushButton;

namespace qm {

class EmbossedButton;
class GroupTable;

class GroupMonitor : public QDialog {
    Q_OBJECT
  public:
    static constexpr int RefreshMs = 2000;

    // rate: bytes per second of the run now, as the status bar shows it; may be empty.
    // group: the group shown first; empty for the table's first group.
    GroupMonitor(const GroupTable& selectedGroups, std::function<int()> rate, QString group,
                 QWidget* parent = nullptr);

    // Copies the group's figures into the controls (the timer's action).
    void refresh();
    // Shows the group of that name (the combo box's choice).
    void chooseGroup(const QString& name);
    // "<<Set": the group continues from the "Next article" typed in.
    void applyNextArticle();
    QString groupName() const { return m_groupName; }
    bool refreshing() const { return m_timer.isActive(); }

  public slots:
    void reject() override;

  private:
    QLineEdit* addField(const char* name, bool readOnly);
    void showGroup(int index);
    void writeControls();

    const GroupTable& m_groups;
    std::function<int()> m_rateSource;
    QTimer m_timer;

    QString m_groupName;
    std::int64_t m_next = 0;
    std::int64_t m_first = 0;
    std::int64_t m_final = 0;
    unsigned m_retrieved = 0;
    std::int64_t m_kbytes = 0;
    int m_decoded = 0;
    unsigned m_assembled = 0;
    QString m_currentArticle;
    QString m_lines;
    int m_rate = 0;
    int m_readers = 0;  // working on the group now
    int m_percent = 0;

    QComboBox* m_groupBox = nullptr;
    QLineEdit* m_nextEdit = nullptr;
    QLineEdit* m_firstEdit = nullptr;
    QLineEdit* m_finalEdit = nullptr;
    QLineEdit* m_retrievedEdit = nullptr;
    QLineEdit* m_kbytesEdit = nullptr;
    QLineEdit* m_decodedEdit = nullptr;
    QLineEdit* m_assembledEdit = nullptr;
    QLineEdit* m_currentEdit = nullptr;
    QLineEdit* m_readersEdit = nullptr;
    QLineEdit* m_linesEdit = nullptr;
    QLineEdit* m_rateEdit = nullptr;
    // Articles from fill servers and those no server had: shown only when there are any.
    QLabel* m_fillLabel = nullptr;
    QLineEdit* m_fillEdit = nullptr;
    QString m_fill;
    EmbossedButton* m_status = nullptr;
    QProgressBar* m_progress = nullptr;
};

}  // namespace qm
