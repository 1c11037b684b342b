// SPDX-License-Identifier: GPL-3.0-or-later
#include "dialogs/thumbnailview.h"

#include <QImageReader>
#include <QPainter>

namespace qm {

namespace {

// A sheet of paper: for files without a thumbnail, and while one loads.
QIcon plainIcon() {
    QPixmap pixmap(ThumbnailView::IconSide, ThumbnailView::IconSide);
    pixmap.fill(Qt::transparent);
    QPainter p(&pixmap);
    p.setPen(QPen(Qt::gray, 2));
    p.setBrush(QColor(245, 245, 245));
    p.drawRect(18, 8, 60, 80);
    return QIcon(pixmap);
}

}  // namespace

void ThumbnailLoader::load(quint64 wantedGeneration, const QString& path, const QString& name) {
    if (wantedGeneration != generation.load()) return;  // another group is shown by now
    QImageReader reader(path);
    QImage image;
    // Thumbnails are small already; anything larger is scaled while it is read.
    const QSize size = reader.size();
    if (size.isValid() &&
        (size.width() > m_iconSize.width() || size.height() > m_iconSize.height()))
        reader.setScaledSize(size.scaled(m_iconSize, Qt::KeepAspectRatio));
    if (!reader.read(&image)) image = QImage();
    emit ready(wantedGeneration, name, image);
}

ThumbnailModel::ThumbnailModel(QObject* parent)
    : QAbstractListModel(parent), m_plain(plainIcon()) {}

int ThumbnailModel::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : static_cast<int>(m_names.size());
}

QVariant ThumbnailModel::data(const QModelIndex& index, int role) const {
    if (!index.isValid() || index.row() >= m_names.size()) return {};
    const QString& name = m_names[index.row()];
    if (role == Qt::DisplayRole || role == Qt::ToolTipRole) return name;
    if (role != Qt::DecorationRole) return {};
    if (auto cached = m_cache.constFind(name); cached != m_cache.constEnd()) {
        touch(name);
        return cached->isNull() ? m_plain : QIcon(*cached);
    }
    if (!m_asked.contains(name)) {
        m_asked.insert(name);
        emit wanted(m_generation, m_thumbs + name + QStringLiteral(".jpg"), name);
    }
    return m_plain;
}

void ThumbnailModel::touch(const QString& name) const {
    m_order.remove(name);
    m_order.push_front(name);
}

void ThumbnailModel::setFiles(quint64 generation, const QString& groupFolder,
                              const QStringList& names) {
    beginResetModel();
    m_generation = generation;
    m_thumbs = groupFolder + QStringLiteral("/thumbs/");
    m_names = names;
    m_cache.clear();
    m_order.clear();
    m_asked.clear();
    reindex();
    endResetModel();
}

void ThumbnailModel::removeFiles(const QStringList& names) {
    for (const QString& name : names) {
        const auto row = m_rows.constFind(name);
        if (row == m_rows.constEnd()) continue;
        const int at = *row;
        beginRemoveRows({}, at, at);
        m_names.removeAt(at);
        m_cache.remove(name);
        m_order.remove(name);
        reindex();
        endRemoveRows();
    }
}

void ThumbnailModel::reindex() {
    m_rows.clear();
    for (int i = 0; i < m_names.size(); ++i) m_rows.insert(m_names[i], i);
}

int ThumbnailModel::loadedCount() const {
    int loaded = 0;
    for (const QString& name : m_names) loaded += m_cache.contains(name);
    return loaded;
}

void ThumbnailModel::accept(quint64 generation, const QString& name, const QImage& image) {
    if (generation != m_generation) return;
    m_asked.remove(name);
    const auto row = m_rows.constFind(name);
    if (row == m_rows.constEnd()) return;  // removed meanwhile
    m_cache.insert(name, image.isNull() ? QPixmap() : QPixmap::fromImage(image));
    touch(name);
    while (m_order.size() > static_cast<std::size_t>(CacheSize)) {
        // Dropped icons are read again when their cells come back into sight.
        m_cache.remove(m_order.back());
        m_order.pop_back();
    }
    const QModelIndex changed = index(*row);
    emit dataChanged(changed, changed, {Qt::DecorationRole});
}

ThumbnailView::ThumbnailView(QWidget* parent)
    : QListView(parent),
      m_model(new ThumbnailModel(this)),
      m_loader(std::make_unique<ThumbnailLoader>(QSize(IconSide, IconSide))) {
    setObjectName(QStringLiteral("thumbnailView"));
    setViewMode(QListView::IconMode);
    setIconSize(QSize(IconSide, IconSide));
    setGridSize(QSize(IconSide + 24, IconSide + 28));
    setResizeMode(QListView::Adjust);
    setMovement(QListView::Static);
    setUniformItemSizes(true);  // lays out 20,000 cells without asking each for its size
    setWordWrap(false);
    setTextElideMode(Qt::ElideMiddle);
    setSelectionMode(QAbstractItemView::ExtendedSelection);
    setModel(m_model);

    m_loader->moveToThread(&m_thread);
    connect(m_model, &ThumbnailModel::wanted, m_loader.get(), &ThumbnailLoader::load,
            Qt::QueuedConnection);
    connect(m_loader.get(), &ThumbnailLoader::ready, m_model, &ThumbnailModel::accept,
            Qt::QueuedConnection);
    connect(this, &QListView::activated, this, [this](const QModelIndex& index) {
        emit fileActivated(m_model->files()[index.row()]);
    });
    m_thread.setObjectName(QStringLiteral("thumbnail loader"));
    m_thread.start();
}

ThumbnailView::~ThumbnailView() {
    m_loader->generation = ~quint64{0};  // what is still queued is dropped unread
    m_thread.quit();
    m_thread.wait();
}

void ThumbnailView::showFiles(const QString& groupFolder, const QStringList& names) {
    // The loader knows the new set before any of its icons can be asked for.
    m_loader->generation = ++m_generation;
    m_model->setFiles(m_generation, groupFolder, names);
}

void ThumbnailView::removeFiles(const QStringList& names) {
    m_model->removeFiles(names);
}

QStringList ThumbnailView::selectedFiles() const {
    QStringList names;
    for (const QModelIndex& index : selectionModel()->selectedIndexes())
        names << m_model->files().value(index.row());
    return names;
}

void ThumbnailView::selectFiles(const QStringList& names) {
    QItemSelection selection;
    QModelIndex last;
    for (const QString& name : names) {
        const int row = m_model->rowOf(name);
        if (row < 0) continue;
        last = m_model->index(row);
        selection.select(last, last);
    }
    selectionModel()->select(selection, QItemSelectionModel::ClearAndSelect);
    if (last.isValid()) {
        selectionModel()->setCurrentIndex(last, QItemSelectionModel::NoUpdate);
        scrollTo(last);
    }
}

}  // namespace qm
