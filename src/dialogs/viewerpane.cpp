// SPDX-License-Identifier: GPL-3.0-or-later
#include "dialogs/viewerpane.h"

#include <QDesktopServices>
#include <QFileInfo>
#include <QImageReader>

namespace qm {

namespace {

bool isImageFile(const QString& path) {
    const QByteArray suffix = QFileInfo(path).suffix().toLower().toLatin1();
    return !suffix.isEmpty() && QImageReader::supportedImageFormats().contains(suffix);
}

bool isPageOrText(const QString& path) {
    static const QStringList shown{QStringLiteral("html"), QStringLiteral("htm"),
                                   QStringLiteral("txt"), QStringLiteral("desc")};
    return shown.contains(QFileInfo(path).suffix().toLower());
}

}  // namespace

ViewerPane::ViewerPane(QWidget* parent)
    : QTextBrowser(parent), m_opener([](const QUrl& url) { QDesktopServices::openUrl(url); }) {
    setObjectName(QStringLiteral("viewerPane"));
    setOpenLinks(false);  // links come back through navigate, so pictures show as pictures
    connect(this, &QTextBrowser::anchorClicked, this,
            [this](const QUrl& url) { navigate(url.toString()); });
}

void ViewerPane::navigate(const QString& address) {
    const QUrl url(address);
    const QString path = url.isLocalFile() ? url.toLocalFile() : QString();
    if (!path.isEmpty() && isImageFile(path)) {
        // A picture on its own, at its own size, as a browser shows it.
        setHtml(QStringLiteral("<img src=\"%1\">").arg(url.toString(QUrl::FullyEncoded)));
    } else if (!path.isEmpty() && isPageOrText(path)) {
        clearHistory();
        setSource(url);
    } else {
        if (m_opener) m_opener(url);
        return;
    }
    m_shown = url;
}

void ViewerPane::showNothing() {
    clear();
    clearHistory();
    m_shown = QUrl();
}

}  // namespace qm
