#pragma once
// The server half of the main window: the flat directory tree TView1, the file list ListView2
// and their popup menus ServerDir and ServerFiles. It shows what the listing work file holds for
// one server directory and reports clicks; the main window runs the server operations behind
// the menu items.
//
// Names are the server's bytes. Every row keeps the exact bytes its listing line gave, so a
// command about it sends them back unchanged; the text shown is only their decoding
// (ftp::decodeServerName). The bytes are read with:
//   - selectedFiles()[i].rawName / selectedRawNames(): the selected files (ListView2);
//   - directoryNodes()[i].rawName, dirModel() index data(ServerDirModel::RawNameRole), and the
//     rawServerPath of directoryClicked(): the directory nodes (TView1);
//   - fileModel() index data(FileListModel::RawNameRole): any file row;
//   - directory(): the server directory the rows belong to.
//
// Listings are read from the work file bounded by ftp::kMaxListingBytes. Small ones are parsed
// at once; bigger ones on a worker thread, and shown when done (loadFinished()). While one is
// being parsed the views are disabled and selectedFiles() / directoryNodes() are empty, so no
// command can act on the rows of the previous listing. A newer load, clear() or
// showListingFailure() drops a result still being parsed.

#include <QByteArray>
#include <QByteArrayView>
#include <QList>
#include <QString>
#include <QStringList>
#include <QWidget>

#include <vector>

#include "browse/FileListModel.h"
#include "browse/ServerDirModel.h"

class QLabel;
class QMenu;
class QTreeView;

namespace zephra::browse {

struct ServerListing;

class ServerBrowser final : public QWidget {
    Q_OBJECT
public:
    struct SelectedFile {
        QString name;         // as shown
        QByteArray rawName;   // the server's bytes: what RETR, DELE, RNFR... send
        qint64 size = -1;     // as listed; -1 when the listing gave none
        bool isLink = false;  // a symbolic link (where it leads is the server's business)
    };

    // Listings up to this size are parsed on the calling thread (a few milliseconds).
    static constexpr qint64 kInPlaceListingBytes = 256 * 1024;

    explicit ServerBrowser(QWidget* parent = nullptr);

    QTreeView* tree() const { return m_tree; }          // "TView1"
    QTreeView* fileList() const { return m_files; }     // "ListView2"
    QMenu* dirMenu() const { return m_dirMenu; }        // "ServerDir"
    QMenu* filesMenu() const { return m_filesMenu; }    // "ServerFiles"
    ServerDirModel* dirModel() const { return m_dirModel; }
    FileListModel* fileModel() const { return m_fileModel; }

    // The server directory the shown rows belong to, as the server confirmed it (the bytes of
    // its PWD reply); empty when not known. Shown decoded as the tree's header.
    const QByteArray& directory() const { return m_directory; }
    // The directory the rows of the next load belong to (after a confirmed directory change).
    void setDirectory(const QByteArray& rawPath);

    // Rebuild tree and list (the filter applies to files only) / the list only, unfiltered.
    void loadServerData(QByteArrayView listing, const QString& filter = {});
    void loadServerFiles(QByteArrayView listing);
    // The same from the listing work file. When it cannot be opened or is larger than
    // ftp::kMaxListingBytes, the lists stay as they are and false comes back with the reason in
    // `error`. Otherwise true: the rows are shown at once or, for a big listing, when
    // loadFinished() comes (loadFailed() if the file could not be read after all).
    bool loadServerDataFromFile(const QString& path, const QString& filter = {},
                                QString* error = nullptr);
    bool loadServerFilesFromFile(const QString& path, QString* error = nullptr);
    // Whether a listing is being parsed on the worker.
    bool isLoading() const { return m_loading; }
    // Listings above `bytes` go to the worker (kInPlaceListingBytes unless changed).
    void setInPlaceLimit(qint64 bytes) { m_inPlaceLimit = bytes; }

    // Where the session is after a failed or cancelled listing: `rawPath` as the directory, a
    // tree with only "..", an empty list and `error` written over the list.
    void showListingFailure(const QByteArray& rawPath, const QString& error);
    // The error shown over the list; empty when the rows are a listing.
    QString listingError() const { return m_error; }
    // A closed session: no directory, no node, no row.
    void clear();

    // Selected files from the top row down, as shown. Hostile names cannot be selected, so
    // nothing here can address a path outside the chosen local directory.
    std::vector<SelectedFile> selectedFiles() const;
    // The same, only the server's bytes of each name.
    QList<QByteArray> selectedRawNames() const;
    // The directory nodes without "..", in tree order (what frmServerDelRen offers).
    std::vector<ServerDirectory> directoryNodes() const;
    // The names as shown, top to bottom (what frmFilter reads).
    QStringList fileNames() const;

signals:
    // A tree node was clicked (or chosen with Enter): "/" (raw "/") for "..", which stands for
    // the parent directory; else the directory's name and bytes. Also a symbolic link in the
    // file list that was double-clicked (throughLink true): it may lead to a directory, which
    // only the server knows; when it refuses the change, the link is a file and stays one.
    void directoryClicked(const QString& serverPath, const QByteArray& rawServerPath, bool throughLink);
    // A load from the work file is shown / could not be read (the browser shows the error).
    void loadFinished();
    void loadFailed(const QString& error);

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    bool startLoad(const QString& path, const QString& filter, bool filesOnly, QString* error);
    void showRows(ServerListing listing, bool filesOnly);
    void setLoading(bool loading);
    void setError(const QString& error);
    QString listWhat() const;
    void onTreeClicked(const QModelIndex& index);
    void onFileDoubleClicked(const QModelIndex& index);

    QTreeView* m_tree = nullptr;
    QTreeView* m_files = nullptr;
    QLabel* m_errorLabel = nullptr;  // "ServerListingError", over the file list
    QMenu* m_dirMenu = nullptr;
    QMenu* m_filesMenu = nullptr;
    ServerDirModel* m_dirModel = nullptr;
    FileListModel* m_fileModel = nullptr;
    QByteArray m_directory;
    QString m_error;
    quint64 m_generation = 0;  // the load whose result may still be shown
    bool m_loading = false;
    qint64 m_inPlaceLimit = kInPlaceListingBytes;
};

}  // namespace zephra::browse
