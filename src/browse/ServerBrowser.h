#pragma once
// The server half of the main window: the flat directory tree TView1, the file list ListView2
// and their popup menus ServerDir and ServerFiles. It shows what the listing work file holds and
// reports clicks; the main window runs the server operations behind the menu items.

#include <QByteArray>
#include <QByteArrayView>
#include <QString>
#include <QStringList>
#include <QWidget>

#include <vector>

#include "browse/FileListModel.h"
#include "browse/ServerDirModel.h"

class QMenu;
class QTreeView;

namespace zephra::browse {

class ServerBrowser final : public QWidget {
    Q_OBJECT
public:
    struct SelectedFile {
        QString name;
        QByteArray rawName;
        qint64 size = -1;  // as listed; -1 when the listing gave none
    };

    explicit ServerBrowser(QWidget* parent = nullptr);

    QTreeView* tree() const { return m_tree; }          // "TView1"
    QTreeView* fileList() const { return m_files; }     // "ListView2"
    QMenu* dirMenu() const { return m_dirMenu; }        // "ServerDir"
    QMenu* filesMenu() const { return m_filesMenu; }    // "ServerFiles"
    ServerDirModel* dirModel() const { return m_dirModel; }
    FileListModel* fileModel() const { return m_fileModel; }

    // Rebuild tree and list (the filter applies to files only) / the list only, unfiltered.
    void loadServerData(QByteArrayView listing, const QString& filter = {});
    void loadServerFiles(QByteArrayView listing);
    // The same from the listing work file. When it cannot be read, the lists stay as they are
    // and false comes back with the system's reason in `error`.
    bool loadServerDataFromFile(const QString& path, const QString& filter = {},
                                QString* error = nullptr);
    bool loadServerFilesFromFile(const QString& path, QString* error = nullptr);
    // A closed session: no node, no row.
    void clear();

    // Selected files from the top row down, as shown. Hostile names cannot be selected, so
    // nothing here can address a path outside the chosen local directory.
    std::vector<SelectedFile> selectedFiles() const;
    // The directory nodes without "..", in tree order (what frmServerDelRen offers).
    std::vector<ServerDirectory> directoryNodes() const;
    // The names as shown, top to bottom (what frmFilter reads).
    QStringList fileNames() const;

signals:
    // A tree node was clicked (or chosen with Enter): "/" (raw "/") for "..", else the
    // directory's name and bytes.
    void directoryClicked(const QString& serverPath, const QByteArray& rawServerPath);

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void onTreeClicked(const QModelIndex& index);

    QTreeView* m_tree = nullptr;
    QTreeView* m_files = nullptr;
    QMenu* m_dirMenu = nullptr;
    QMenu* m_filesMenu = nullptr;
    ServerDirModel* m_dirModel = nullptr;
    FileListModel* m_fileModel = nullptr;
};

}  // namespace zephra::browse
