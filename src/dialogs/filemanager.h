// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// "Retrieved attachments": the decoded files of one group in a sortable list, shown in a
// viewer pane beside it; viewing marks them viewed, "Delete" removes them with their
// description files (into the desktop's trash; more than one only once confirmed, and says
// what it did), "Collect" moves them into "My-Collection", "Save as NZB…" writes an NZB of
// them (the window asks for the file name; the export is the main window's to install);
// the file shown is no longer shown once it is gone from the list. Starts compact (the list
// alone) and grows to its full size at the first View. The list and the thumbnail grid show
// one selection: what is highlighted in either is what View, Next, Delete and Collect act on.
//
// Opened by the main window, modeless and any number at once; each deletes itself when
// closed. Window thread only; every use of a picture list holds PictureListLock, since
// reader threads change the lists at the same time.
#include <QDialog>
#include <QSize>
#include <functional>
#include <string>
#include <vector>

class QComboBox;
class QLabel;
class QPushButton;
class QTreeWidgetItem;

namespace qm {

class AppSettings;
class Session;
class GroupEntry;
class SortableList;
class ThumbnailView;
class ViewerPane;

class FileManager : public QDialog {
    Q_OBJECT
  public:
    FileManager(Session& session, QString group, QWidget* parent = nullptr);

    // Fills the list with the files of the group of that name (not found: nothing changes).
    void showGroup(const QString& name);
    void viewRow(int row);
    void viewSelected();  // "View"
    void viewNext();      // "Next"
    void deleteSelected();
    void collectSelected();
    void fitWindow();
    // What the last Delete or Save as NZB did, as the window says it.
    QString statusText() const;

    // What writing an NZB did: the files in it, those left out (the articles they came from
    // are not known) and why it could not be written (empty when it was).
    struct NzbSaved {
        int files = 0;
        int leftOut = 0;
        std::string error;
    };
    // Writes the NZB of the files at paths (absolute) to target.
    using NzbSaver =
        std::function<NzbSaved(const std::vector<std::string>& paths, const std::string& target)>;
    // Without one, "Save as NZB…" is not offered.
    void setNzbSaver(NzbSaver saver);
    // "Save as NZB…": asks for the file name, then saveSelectedAsNzb.
    void saveAsNzb();
    void saveSelectedAsNzb(const QString& target);

    // Run modally, the window belongs to its caller and is not deleted on closing.
    int exec() override;

    QString groupName() const { return m_groupName; }
    ViewerPane* viewer() const { return m_pane; }
    SortableList* list() const { return m_list; }
    ThumbnailView* thumbnails() const { return m_thumbs; }
    bool expanded() const { return m_expanded; }
    QSize compactSize() const { return m_compactSize; }
    QSize fullSize() const { return m_fullSize; }
    int displayWidth() const { return m_displayWidth; }
    int currentRow() const { return m_currentRow; }

  protected:
    void resizeEvent(QResizeEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

  private:
    GroupEntry* findGroup(const QString& name) const;
    QTreeWidgetItem* addRow(const std::string& name, const std::string& description,
                            const std::string& date, bool viewed);
    int nextSelectedRow(int from) const;
    // The viewed file at path was deleted or moved: it is shown no more.
    void forgetView(const std::string& path);
    void expand();
    void placePane();
    // The thumbnail grid follows the list: filled with it; files deleted or collected leave
    // it and the picture database.
    void showThumbnails(const std::string& groupFolder);
    void viewFile(const QString& name);
    void filesLeft(const std::vector<std::string>& names);
    // The one selection, kept the same in list and grid whichever the user changed.
    void listSelectionChanged();
    void gridSelectionChanged();
    // More than one file to trash: asks first. True to go ahead.
    bool confirmDelete(int files);

    Session& m_session;
    const AppSettings& m_settings;
    QString m_groupName;
    int m_currentRow = -1;  // the row last viewed, for "Next"
    bool m_expanded = false;
    QSize m_fullSize;
    QSize m_compactSize;
    QPoint m_paneOrigin;
    int m_displayWidth = 450;
    bool m_syncing = false;  // a selection is being copied from list to grid or back

    QComboBox* m_groupBox = nullptr;
    QLabel* m_dirLabel = nullptr;
    QLabel* m_pathLabel = nullptr;
    QLabel* m_status = nullptr;
    SortableList* m_list = nullptr;
    ThumbnailView* m_thumbs = nullptr;
    ViewerPane* m_pane = nullptr;
    QWidget* m_left = nullptr;
    QPushButton* m_saveNzb = nullptr;
    NzbSaver m_nzbSaver;
};

}  // namespace qm
