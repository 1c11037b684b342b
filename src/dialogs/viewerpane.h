// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The file manager's viewer: shows a local page, picture or text file given its file://
// address, and keeps showing it until the next navigate. Anything else is handed to the
// desktop's opener (xdg-open). Links inside a shown page go through navigate too.
//
// Owned by its parent window; window thread only.
#include <QTextBrowser>
#include <QUrl>
#include <functional>

namespace qm {

class ViewerPane : public QTextBrowser {
    Q_OBJECT
  public:
    explicit ViewerPane(QWidget* parent = nullptr);

    void navigate(const QString& address);
    // Shows nothing (the file shown is gone).
    void showNothing();
    // The address last shown in the pane (empty before the first navigate).
    QUrl shown() const { return m_shown; }
    // How files the pane cannot show are opened; QDesktopServices by default.
    void setOpener(std::function<void(const QUrl&)> opener) { m_opener = std::move(opener); }

  private:
    std::function<void(const QUrl&)> m_opener;
    QUrl m_shown;
};

}  // namespace qm
