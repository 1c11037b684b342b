// SPDX-License-Identifier: GPL-3.0-or-later
#include "dialogs/groupmonitor.h"

#include <QComboBox>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QVBoxLayout>
#include <algorithm>

#include "decode/savedarticle.h"
#include "dialogs/embossedbutton.h"
#include "model/grouptable.h"
#include "nntp/fillservers.h"

namespace qm {

namespace {
const QString AllDone = QStringLiteral("All done!");
}

GroupMonitor::GroupMonitor(const GroupTable& selectedGroups, std::function<int()> rate,
                           QString group, QWidget* parent)
    : QDialog(parent),
      m_groups(selectedGroups),
      m_rateSource(std::move(rate)),
      m_groupName(std::move(group)) {
    setObjectName(QStringLiteral("groupMonitor"));
    setWindowTitle(QStringLiteral("News group monitor"));

    m_groupBox = new QComboBox(this);
    m_groupBox->setObjectName(QStringLiteral("groupBox"));
    m_nextEdit = addField("nextEdit", false);
    m_firstEdit = addField("firstEdit", true);
    m_finalEdit = addField("finalEdit", true);
    m_retrievedEdit = addField("retrievedEdit", true);
    m_kbytesEdit = addField("kbytesEdit", true);
    m_decodedEdit = addField("decodedEdit", true);
    m_assembledEdit = addField("assembledEdit", true);
    m_currentEdit = addField("currentEdit", true);
    m_linesEdit = addField("linesEdit", true);
    m_rateEdit = addField("rateEdit", true);
    m_readersEdit = addField("readersEdit", true);
    m_fillEdit = addField("fillEdit", true);
    m_fillLabel = new QLabel(QStringLiteral("Fill servers"), this);
    m_status = new EmbossedButton(QString(), this);
    m_status->setObjectName(QStringLiteral("statusButton"));
    m_status->setMinimumHeight(48);
    m_status->setFocusPolicy(Qt::NoFocus);
    m_progress = new QProgressBar(this);
    m_progress->setObjectName(QStringLiteral("progressBar"));
    m_progress->setRange(0, 100);
    m_progress->setValue(0);
    auto* set = new QPushButton(QStringLiteral("<<Set"), this);
    set->setObjectName(QStringLiteral("setButton"));
    set->setAutoDefault(false);
    auto* close = new QPushButton(QStringLiteral("Close"), this);
    close->setObjectName(QStringLiteral("closeButton"));
    close->setAutoDefault(false);

    auto label = [this](const char* text) { return new QLabel(QString::fromLatin1(text), this); };
    auto* grid = new QGridLayout;
    grid->addWidget(label("Group name"), 0, 0);
    grid->addWidget(m_groupBox, 0, 1, 1, 4);
    grid->addWidget(label("Rate (all)"), 1, 0);
    grid->addWidget(m_rateEdit, 1, 1);
    grid->addWidget(label("bytes/s"), 1, 2);
    grid->addWidget(m_status, 1, 3, 1, 2);
    grid->addWidget(label("Next article"), 2, 0);
    grid->addWidget(m_nextEdit, 2, 1);
    grid->addWidget(set, 2, 2);
    grid->addWidget(label("Final artcile"), 2, 3);
    grid->addWidget(m_finalEdit, 2, 4);
    grid->addWidget(label("First article"), 3, 3);
    grid->addWidget(m_firstEdit, 3, 4);
    grid->addWidget(label("Retrieve count"), 3, 0);
    grid->addWidget(m_retrievedEdit, 3, 1);
    grid->addWidget(label("KBytes"), 4, 3);
    grid->addWidget(m_kbytesEdit, 4, 4);
    grid->addWidget(label("Decode count"), 4, 0);
    grid->addWidget(m_decodedEdit, 4, 1);
    grid->addWidget(label("Assembled"), 5, 0);
    grid->addWidget(m_assembledEdit, 5, 1);
    grid->addWidget(label("Readers"), 5, 3);
    grid->addWidget(m_readersEdit, 5, 4);
    // Shown only when fill servers gave or lacked articles, under the readers.
    grid->addWidget(m_fillLabel, 8, 3);
    grid->addWidget(m_fillEdit, 8, 4);
    grid->addWidget(label("Current article"), 6, 0);
    grid->addWidget(m_currentEdit, 6, 1, 1, 4);
    grid->addWidget(label("Lines"), 7, 0);
    grid->addWidget(m_linesEdit, 7, 1);
    grid->addWidget(m_progress, 7, 2, 1, 3);
    auto* buttons = new QHBoxLayout;
    buttons->addStretch();
    buttons->addWidget(close);
    auto* layout = new QVBoxLayout(this);
    layout->addLayout(grid);
    layout->addLayout(buttons);
    setMinimumWidth(480);

    connect(set, &QPushButton::clicked, this, &GroupMonitor::applyNextArticle);
    connect(close, &QPushButton::clicked, this, &GroupMonitor::reject);
    connect(m_groupBox, &QComboBox::activated, this, &GroupMonitor::showGroup);
    connect(&m_timer, &QTimer::timeout, this, &GroupMonitor::refresh);

    if (m_groupName.isEmpty()) {
        const GroupEntry* first = m_groups.front();
        if (!first) return;  // nothing to monitor: no entries, no timer
        m_groupName = QString::fromStdString(first->name());
    }
    for (const GroupEntry* g : m_groups.entries())
        m_groupBox->addItem(QString::fromStdString(g->name()));
    m_groupBox->setCurrentIndex(m_groupBox->findText(m_groupName, Qt::MatchExactly));
    m_timer.start(RefreshMs);
    refresh();
}

QLineEdit* GroupMonitor::addField(const char* name, bool readOnly) {
    auto* edit = new QLineEdit(this);
    edit->setObjectName(QLatin1String(name));
    edit->setReadOnly(readOnly);
    return edit;
}

void GroupMonitor::showGroup(int index) {
    if (index < 0) return;
    m_groupName = m_groupBox->itemText(index);
    refresh();
}

void GroupMonitor::chooseGroup(const QString& name) {
    const int index = m_groupBox->findText(name, Qt::MatchExactly);
    if (index < 0) return;
    m_groupBox->setCurrentIndex(index);
    showGroup(index);
}

void GroupMonitor::refresh() {
    const GroupEntry* g = m_groups.find(m_groupName.toStdString());
    if (!g) return;
    const bool finished = (g->flags() & Finished) != 0;
    const QString caption = finished ? AllDone : QString();
    if (m_status->text() != caption) m_status->setText(caption);
    const GroupStats* stats = g->stats();
    if (!stats) return;

    m_final = stats->last.load();
    m_first = stats->first.load();
    m_next = stats->current.load() + 1;
    m_decoded = stats->decoded.load();
    m_kbytes = stats->bytes.load() / 1024;
    m_retrieved = static_cast<unsigned>(stats->retrieved.load());
    m_assembled = static_cast<unsigned>(stats->assembled.load());
    // ", 4 from fill servers, 1 on no server" without its leading separator.
    m_fill =
        QString::fromStdString(fillSummary(stats->filled.load(), stats->lacking.load())).mid(2);

    const SavedArticle* article = finished ? nullptr : stats->articleInProgress.load();
    m_percent = 0;
    if (article) {
        const int announced = article->lines.load();
        // A Lines header that counts one short (or a trailing line the server adds) must not
        // show more read than there is: done never exceeds what is known.
        const int received = announced >= 1 ? std::min(article->lineCount.load(), announced)
                                            : article->lineCount.load();
        if (announced >= 1)
            m_percent = static_cast<int>(static_cast<long long>(received) * 100 / announced);
        m_currentArticle = QString::fromStdString(article->subject());
        m_lines = QStringLiteral("%1/%2 (%3%)").arg(received).arg(announced).arg(m_percent);
    } else {
        m_currentArticle.clear();
        m_lines.clear();
    }
    m_readers = finished ? 0 : stats->readers.load();
    // Several readers each have an article of their own: the group's reading position says
    // where the group is.
    if (m_readers > 1)
        m_currentArticle =
            QStringLiteral("Last %1 (%2 readers)").arg(stats->current.load()).arg(m_readers);
    m_progress->setValue(std::clamp(m_percent, 0, 100));
    // The figure the status bar shows: read at every refresh, so that both agree.
    if (m_rateSource) m_rate = m_rateSource();
    writeControls();
}

void GroupMonitor::writeControls() {
    m_nextEdit->setText(QString::number(m_next));
    m_firstEdit->setText(QString::number(m_first));
    m_finalEdit->setText(QString::number(m_final));
    m_retrievedEdit->setText(QString::number(m_retrieved));
    m_kbytesEdit->setText(QString::number(m_kbytes));
    m_decodedEdit->setText(QString::number(m_decoded));
    m_assembledEdit->setText(QString::number(m_assembled));
    m_currentEdit->setText(m_currentArticle);
    m_linesEdit->setText(m_lines);
    m_rateEdit->setText(QString::number(m_rate));
    m_readersEdit->setText(QString::number(m_readers));
    m_fillEdit->setText(m_fill);
    m_fillLabel->setVisible(!m_fill.isEmpty());
    m_fillEdit->setVisible(!m_fill.isEmpty());
}

void GroupMonitor::applyNextArticle() {
    bool ok = false;
    const std::int64_t typed = m_nextEdit->text().trimmed().toLongLong(&ok);
    if (!ok) {
        QMessageBox::warning(this, windowTitle(), QStringLiteral("Please enter an integer."));
        return;  // the previous value stands
    }
    m_next = typed;
    GroupEntry* g = m_groups.find(m_groupName.toStdString());
    if (!g) return;
    if (GroupStats* stats = g->stats()) stats->current.store(m_next - 1);
}

void GroupMonitor::reject() {
    m_timer.stop();
    QDialog::reject();
}

}  // namespace qm
