// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The file manager's grid of thumbnails, beside its list: the group's files as icons, read
// from the group folder's "thumbs" (where the thumbnail worker writes them) by a loader
// thread of the view's own, so that the window thread never waits for the disk. Icons are
// asked for as cells are shown and kept in a bounded cache, so a group of 20,000 pictures
// costs only the cells in sight. A file without a thumbnail shows a plain icon.
//
// A child of the file manager; window thread only. The loader only reads files and hands
// scaled images back through queued calls; the view stops and joins it when it goes.
#include <QAbstractListModel>
#include <QHash>
#include <QIcon>
#include <QImage>
#include <QListView>
#include <QPixmap>
#include <QSet>
#include <QStringList>
#include <QThread>
#include <atomic>
#include <list>
#include <memory>

namespace qm {

// Reads thumbnails on the loader thread.
class ThumbnailLoader : public QObject {
    Q_OBJECT
  public:
    explicit ThumbnailLoader(QSize iconSize) : m_iconSize(iconSize) {}
    // The newest set of files; requests of older ones are dropped unread.
    std::atomic<quint64> generation{0};

  public slots:
    void load(quint64 generation, const QString& path, const QString& name);

  signals:
    // image is null when there is no readable thumbnail.
    void ready(quint64 generation, const QString& name, const QImage& image);

  private:
    QSize m_iconSize;
};

// The files shown, with their icons as far as loaded.
class ThumbnailModel : public QAbstractListModel {
    Q_OBJECT
  public:
    static constexpr int CacheSize = 2000;  // icons kept; far more than a window shows

    explicit ThumbnailModel(QObject* parent = nullptr);
    int rowCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role) const override;

    // A new set of files; generation tells its loads from those of earlier sets.
    void setFiles(quint64 generation, const QString& groupFolder, const QStringList& names);
    void removeFiles(const QStringList& names);
    const QStringList& files() const { return m_names; }
    // The row of a file shown, or -1.
    int rowOf(const QString& name) const { return m_rows.value(name, -1); }
    quint64 generation() const { return m_generation; }
    // Thumbnails among the files shown that are loaded now (a file without one counts).
    int loadedCount() const;
    void accept(quint64 generation, const QString& name, const QImage& image);

  signals:
    void wanted(quint64 generation, const QString& path, const QString& name) const;

  private:
    void reindex();
    void touch(const QString& name) const;

    QString m_thumbs;  // the "thumbs" folder
    QStringList m_names;
    QHash<QString, int> m_rows;
    quint64 m_generation = 0;
    // Loaded icons, the most recently used at the front of m_order; a null pixmap for a
    // file without a thumbnail. Changed by data(), which the view calls: hence mutable.
    mutable QHash<QString, QPixmap> m_cache;
    mutable std::list<QString> m_order;
    mutable QSet<QString> m_asked;  // asked of the loader, not back yet
    QIcon m_plain;
};

class ThumbnailView : public QListView {
    Q_OBJECT
  public:
    static constexpr int IconSide = 96;

    explicit ThumbnailView(QWidget* parent = nullptr);
    ~ThumbnailView() override;

    // Shows names, files of groupFolder's "news.dat", in this order.
    void showFiles(const QString& groupFolder, const QStringList& names);
    // Takes the cells of these files away (deleted or moved).
    void removeFiles(const QStringList& names);
    // The files of the selected cells, and selecting exactly these (the file manager keeps
    // the grid's selection and its list's the same).
    QStringList selectedFiles() const;
    void selectFiles(const QStringList& names);
    ThumbnailModel* thumbnails() const { return m_model; }

  signals:
    // Double-click or Enter on a cell.
    void fileActivated(const QString& name);

  private:
    ThumbnailModel* m_model;
    quint64 m_generation = 0;
    QThread m_thread;
    std::unique_ptr<ThumbnailLoader> m_loader;  // lives on m_thread; deleted once it ended
};

}  // namespace qm
