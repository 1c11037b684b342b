// SPDX-License-Identifier: GPL-3.0-or-later
#include "app/windowstate.h"

#include <QString>
#include <QStringList>

#include "platform/profile.h"

namespace qm {

namespace {

const char* const Section = "Window";
// Wider or taller than any screen: a damaged value.
constexpr int MaxPixels = 100000;

QList<int> readSizes(const Profile& profile, const char* key, qsizetype count) {
    const QStringList parts =
        QString::fromStdString(profile.getString(Section, key)).split(QLatin1Char(','));
    if (parts.size() != count) return {};
    QList<int> sizes;
    for (const QString& part : parts) {
        bool ok = false;
        const int value = part.trimmed().toInt(&ok);
        if (!ok || value < 0 || value > MaxPixels) return {};
        sizes << value;
    }
    return sizes;
}

std::string sizesText(const QList<int>& sizes) {
    QStringList parts;
    for (int size : sizes) parts << QString::number(size);
    return parts.join(QLatin1Char(',')).toStdString();
}

}  // namespace

WindowState loadWindowState(const Profile& profile) {
    WindowState state;
    const int width = profile.getInt(Section, "Width", 0);
    const int height = profile.getInt(Section, "Height", 0);
    if (width > 0 && height > 0 && width <= MaxPixels && height <= MaxPixels)
        state.size = QSize(width, height);
    state.maximized = profile.getInt(Section, "Maximized", 0) != 0;
    state.mainSplitter = readSizes(profile, "Main splitter", 2);
    state.listsSplitter = readSizes(profile, "Lists splitter", 3);
    state.groupColumns = readSizes(profile, "Group columns", 3);
    return state;
}

bool saveWindowState(Profile& profile, const WindowState& state) {
    return profile.setMany(Section, {{"Width", std::to_string(state.size.width())},
                                     {"Height", std::to_string(state.size.height())},
                                     {"Maximized", state.maximized ? "1" : "0"},
                                     {"Main splitter", sizesText(state.mainSplitter)},
                                     {"Lists splitter", sizesText(state.listsSplitter)},
                                     {"Group columns", sizesText(state.groupColumns)}});
}

}  // namespace qm
