#pragma once
// The local half of the main window: the mount-point/drive chooser Drive1, the directory tree
// Dir1, the directory's file list File1, the report-style file list ListView1, and the popup
// menus LocalDir and LocalFiles. Directory and file delete/make/rename run here; Edit, Filter,
// View and the two uploads are menu items for the main window to connect.

#include <QString>
#include <QStringList>
#include <QWidget>

#include <functional>

#include "browse/FileListModel.h"
#include "browse/LocalFileOperations.h"
#include "browse/frmNewName.h"

class QComboBox;
class QFileSystemWatcher;
class QTimer;
class QFileSystemModel;
class QListView;
class QMenu;
class QTreeView;

namespace zephra::dialogs {
class Prompter;
}

namespace zephra::browse {

class LocalBrowser final : public QWidget {
    Q_OBJECT
public:
    // How a new name is asked for; frmNewName::ask unless replaced.
    using NameAsker = std::function<QString(QWidget* parent, NameMode mode)>;

    explicit LocalBrowser(dialogs::Prompter& prompter, const QString& startPath = QString(),
                          QWidget* parent = nullptr);

    QComboBox* driveList() const { return m_drives; }     // "Drive1"
    QTreeView* directoryTree() const { return m_dirs; }   // "Dir1"
    QListView* directoryFiles() const { return m_file1; } // "File1"
    QTreeView* fileList() const { return m_files; }       // "ListView1"
    QMenu* dirMenu() const { return m_dirMenu; }          // "LocalDir"
    QMenu* filesMenu() const { return m_filesMenu; }      // "LocalFiles"
    FileListModel* fileModel() const { return m_fileModel; }
    void setNameAsker(NameAsker asker) { m_askName = std::move(asker); }

    // The current local directory (absolute, in the platform's form).
    QString path() const;
    // Opens `directory`: the tree shows it, the lists are refilled. False when it is not a
    // readable directory (nothing changes).
    bool setPath(const QString& directory);
    // The directory the directory operations act on: the one highlighted in Dir1, else path().
    QString highlightedDirectory() const;

    // Refills the lists from the disk; `filter` keeps names ending with it ("*.*" or empty: all).
    void loadLocalFiles(const QString& filter = {});
    // Full paths of the selected rows of ListView1, top row first.
    QStringList selectedFilePaths() const;
    QStringList fileNames() const;
    // The path of a ListView1 row: directory, separator, name, doubled separators reduced.
    QString filePath(const QString& rowText) const;

    // The menu operations (also reachable as the menu items).
    void deleteDirectory();
    void makeDirectory();
    void renameDirectory();
    void deleteFiles();
    void renameFiles();

    // Reads the directory again, keeping the filter and the selected rows (Refresh, F5, and the
    // watcher when another program adds, removes or renames a file there).
    void refresh();

signals:
    void pathChanged(const QString& path);

private:
    void connectOperations();
    void openChosen(const QString& directory);
    void fillDrives();
    void showInTree(const QString& directory);
    void revealInTree(const QString& directory);

    LocalFileOperations m_ops;
    NameAsker m_askName;
    QComboBox* m_drives = nullptr;
    QTreeView* m_dirs = nullptr;
    QListView* m_file1 = nullptr;
    QTreeView* m_files = nullptr;
    QMenu* m_dirMenu = nullptr;
    QMenu* m_filesMenu = nullptr;
    QFileSystemModel* m_dirModel = nullptr;
    FileListModel* m_fileModel = nullptr;
    QString m_path;  // Qt's "/" form, absolute and clean
    QString m_filter;  // the extension filter of the rows shown
    QFileSystemWatcher* m_watcher = nullptr;
    QTimer* m_refreshSoon = nullptr;  // one refresh for a burst of changes
    bool m_revealPending = false;  // the tree still has to scroll to m_path once it is read
    bool m_revealing = false;      // the tree is being moved by us, not by the user
};

}  // namespace zephra::browse
