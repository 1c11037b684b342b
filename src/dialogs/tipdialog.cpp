// SPDX-License-Identifier: GPL-3.0-or-later
#include "dialogs/tipdialog.h"

#include <sys/stat.h>
#include <QCheckBox>
#include <QFrame>
#include <QHBoxLayout>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QVBoxLayout>
#include <ctime>

#include "dialogs/palettebitmap.h"
#include "platform/paths.h"
#include "platform/profile.h"

namespace qm {

namespace {

constexpr const char* Section = "Tip";
constexpr int MaxLine = 999;

bool isSkipped(char first) {
    return first == ' ' || first == '\t' || first == '\n' || first == '\r' || first == ';';
}

}  // namespace

TipDialog::TipDialog(Profile& profile, QWidget* parent)
    : TipDialog(profile, QString::fromStdString(resourceDirectory()) + QStringLiteral("tips.txt"),
                parent) {}

TipDialog::TipDialog(Profile& profile, const QString& tipsPath, QWidget* parent)
    : QDialog(parent), m_profile(profile) {
    buildUi();
    m_showAtStartup->setChecked(wantedAtStartup(profile));
    long position = profile.getInt(Section, "FilePos", 0);

    m_file = openFile(tipsPath.toStdString(), "r");
    if (!m_file) {
        m_tip->setText(QStringLiteral("Tips file does not exist in the prescribed directory"));
        m_next->setEnabled(false);
        return;
    }
    // A replaced tips file starts again at its first tip.
    const QString stamp = fileTimeStamp(m_file.get());
    if (stamp.toStdString() != profile.getString(Section, "TimeStamp")) {
        profile.setString(Section, "TimeStamp", stamp.toStdString());
        position = 0;
    }
    if (position < 0 || std::fseek(m_file.get(), position, SEEK_SET) != 0)
        trouble();
    else
        readTip();
}

TipDialog::~TipDialog() {
    if (!m_file) return;
    const long position = std::ftell(m_file.get());
    if (position >= 0 && position <= INT32_MAX)
        m_profile.setInt(Section, "FilePos", std::int32_t(position));
}

bool TipDialog::wantedAtStartup(const Profile& profile) {
    return profile.getInt(Section, "StartUp", 0) == 0;
}

QString TipDialog::fileTimeStamp(std::FILE* file) {
    struct stat info {};
    if (!file || ::fstat(fileno(file), &info) != 0) return {};
    char text[32] = {};
    const std::time_t when = info.st_mtime;
    if (!::ctime_r(&when, text)) return {};
    return QString::fromLatin1(text).trimmed();
}

void TipDialog::buildUi() {
    setObjectName(QStringLiteral("tipDialog"));
    setWindowTitle(QStringLiteral("Tip of the Day"));
    auto* layout = new QHBoxLayout(this);

    // The white panel: bulb and heading on top, the tip below.
    auto* panel = new QFrame(this);
    panel->setObjectName(QStringLiteral("tipPanel"));
    panel->setFrameShape(QFrame::StyledPanel);
    panel->setAutoFillBackground(true);
    QPalette white = panel->palette();
    white.setColor(QPalette::Window, Qt::white);
    white.setColor(QPalette::WindowText, Qt::black);
    panel->setPalette(white);
    auto* panelLayout = new QVBoxLayout(panel);
    auto* heading = new QHBoxLayout;
    auto* bulb = new QLabel(panel);
    bulb->setObjectName(QStringLiteral("tipBulb"));
    PaletteBitmap picture;
    if (picture.load(QString::fromStdString(resourceDirectory()) + QStringLiteral("bulb.bmp")))
        bulb->setPixmap(QPixmap::fromImage(picture.image()));
    auto* title = new QLabel(QStringLiteral("Did you know..."), panel);
    title->setObjectName(QStringLiteral("tipHeading"));
    QFont big = title->font();
    big.setBold(true);
    big.setPointSizeF(big.pointSizeF() * 1.5);
    title->setFont(big);
    heading->addWidget(bulb, 0, Qt::AlignTop);
    heading->addWidget(title, 1, Qt::AlignVCenter);
    panelLayout->addLayout(heading);
    m_tip = new QLabel(panel);
    m_tip->setObjectName(QStringLiteral("tipText"));
    m_tip->setWordWrap(true);
    m_tip->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    m_tip->setMinimumSize(320, 120);
    m_tip->setTextFormat(Qt::PlainText);
    panelLayout->addWidget(m_tip, 1);
    m_showAtStartup = new QCheckBox(QStringLiteral("&Show Tips on StartUp"), this);
    m_showAtStartup->setObjectName(QStringLiteral("showTipsCheck"));

    auto* left = new QVBoxLayout;
    left->addWidget(panel, 1);
    left->addWidget(m_showAtStartup);
    layout->addLayout(left, 1);

    auto* buttons = new QVBoxLayout;
    m_next = new QPushButton(QStringLiteral("&Next Tip"), this);
    m_next->setObjectName(QStringLiteral("nextTipButton"));
    m_next->setAutoDefault(false);
    auto* close = new QPushButton(QStringLiteral("&Close"), this);
    close->setObjectName(QStringLiteral("closeButton"));
    close->setDefault(true);
    buttons->addWidget(close);
    buttons->addWidget(m_next);
    buttons->addStretch(1);
    layout->addLayout(buttons);

    connect(m_next, &QPushButton::clicked, this, &TipDialog::nextTip);
    connect(close, &QPushButton::clicked, this, &TipDialog::accept);
}

QString TipDialog::tipText() const {
    return m_tip->text();
}

void TipDialog::nextTip() {
    if (m_file) readTip();
}

void TipDialog::accept() {
    QDialog::accept();
    m_profile.setInt(Section, "StartUp", m_showAtStartup->isChecked() ? 0 : 1);
}

void TipDialog::readTip() {
    char line[MaxLine + 1];
    // Two passes at most: the rest of the file, then all of it once more. A file without a
    // single tip line ends there instead of going round for ever.
    for (int pass = 0; pass < 2; ++pass) {
        while (std::fgets(line, sizeof line, m_file.get())) {
            if (isSkipped(line[0])) continue;
            m_tip->setText(QString::fromLocal8Bit(line).trimmed());
            return;
        }
        std::clearerr(m_file.get());
        if (std::fseek(m_file.get(), 0, SEEK_SET) != 0) {
            trouble();
            return;
        }
    }
    m_tip->setText(QStringLiteral("The tips file holds no tips."));
}

void TipDialog::trouble() {
    QMessageBox::warning(this, QStringLiteral("Quillmere"),
                         QStringLiteral("Trouble reading the tips file"));
}

}  // namespace qm
