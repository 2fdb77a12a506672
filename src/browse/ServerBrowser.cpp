#include "browse/ServerBrowser.h"

#include <QAction>
#include <QFile>
#include <QHeaderView>
#include <QItemSelectionModel>
#include <QKeyEvent>
#include <QMenu>
#include <QSplitter>
#include <QTreeView>
#include <QVBoxLayout>

#include <algorithm>

#include "browse/FileListView.h"
#include "browse/ServerListing.h"

namespace zephra::browse {

namespace {

bool readWorkFile(const QString& path, QByteArray* bytes, QString* error)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        if (error)
            *error = file.errorString();
        return false;
    }
    *bytes = file.readAll();
    if (file.error() != QFileDevice::NoError) {
        if (error)
            *error = file.errorString();
        return false;
    }
    return true;
}

}  // namespace

ServerBrowser::ServerBrowser(QWidget* parent) : QWidget(parent)
{
    setObjectName(QStringLiteral("ServerBrowser"));
    m_dirModel = new ServerDirModel(this);
    m_fileModel = new FileListModel(this);

    m_tree = new QTreeView;
    m_tree->setObjectName(QStringLiteral("TView1"));
    m_tree->setModel(m_dirModel);
    m_tree->setHeaderHidden(true);
    m_tree->setRootIsDecorated(false);
    m_tree->setItemsExpandable(false);
    m_tree->setUniformRowHeights(true);
    m_tree->setEditTriggers(QAbstractItemView::NoEditTriggers);
    m_tree->setContextMenuPolicy(Qt::CustomContextMenu);

    m_files = new QTreeView;
    m_files->setObjectName(QStringLiteral("ListView2"));
    m_files->setModel(m_fileModel);
    setUpFileListView(m_files);

    m_dirMenu = makePopupMenu(this, "ServerDir",
                              {{"ServerDirMakeDir", "Make Directory"},
                               {"ServerDirDelete", "Delete Dir..."},
                               {"ServerDirRename", "Rename Dir..."},
                               {nullptr, nullptr},
                               {"ServerDirExit", "Exit"}});
    m_filesMenu = makePopupMenu(this, "ServerFiles",
                                {{"ServerFilesDelete", "Delete File(s)"},
                                 {"ServerFilesEdit", "Edit..."},
                                 {"ServerFilesFilter", "Filter..."},
                                 {"ServerFilesRename", "Rename..."},
                                 {"ServerFilesSendNormal", "Download File Normal"},
                                 {"ServerFilesSendEncrypted", "Download File Encrypted"},
                                 {"ServerFilesView", "View"},
                                 {nullptr, nullptr},
                                 {"ServerFilesExit", "Exit"}});

    auto* split = new QSplitter(Qt::Horizontal);
    split->addWidget(m_tree);
    split->addWidget(m_files);
    split->setStretchFactor(1, 3);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(split);

    connect(m_tree, &QTreeView::clicked, this, &ServerBrowser::onTreeClicked);
    m_tree->installEventFilter(this);
    connect(m_tree, &QWidget::customContextMenuRequested, this, [this](const QPoint& pos) {
        if (m_dirModel->rowCount() > 0)
            m_dirMenu->popup(m_tree->viewport()->mapToGlobal(pos));
    });
    connect(m_files, &QWidget::customContextMenuRequested, this, [this](const QPoint& pos) {
        if (m_fileModel->rowCount() > 0)
            m_filesMenu->popup(m_files->viewport()->mapToGlobal(pos));
    });
}

void ServerBrowser::loadServerData(QByteArrayView listing, const QString& filter)
{
    ServerListing parsed = buildServerListing(listing, filter);
    m_dirModel->setDirectories(std::move(parsed.directories));
    m_fileModel->setRows(std::move(parsed.files));
}

void ServerBrowser::loadServerFiles(QByteArrayView listing)
{
    m_fileModel->setRows(std::move(buildServerListing(listing).files));
}

bool ServerBrowser::loadServerDataFromFile(const QString& path, const QString& filter,
                                           QString* error)
{
    QByteArray bytes;
    if (!readWorkFile(path, &bytes, error))
        return false;
    loadServerData(bytes, filter);
    return true;
}

bool ServerBrowser::loadServerFilesFromFile(const QString& path, QString* error)
{
    QByteArray bytes;
    if (!readWorkFile(path, &bytes, error))
        return false;
    loadServerFiles(bytes);
    return true;
}

void ServerBrowser::clear()
{
    m_dirModel->clear();
    m_fileModel->clear();
}

std::vector<ServerBrowser::SelectedFile> ServerBrowser::selectedFiles() const
{
    QModelIndexList rows = m_files->selectionModel()->selectedRows(FileListModel::NameColumn);
    std::sort(rows.begin(), rows.end(),
              [](const QModelIndex& a, const QModelIndex& b) { return a.row() < b.row(); });
    std::vector<SelectedFile> out;
    out.reserve(std::size_t(rows.size()));
    for (const QModelIndex& idx : rows) {
        const FileRow& r = m_fileModel->row(idx.row());
        if (r.offered)
            out.push_back({r.name, r.rawName, r.size});
    }
    return out;
}

std::vector<ServerDirectory> ServerBrowser::directoryNodes() const
{
    return m_dirModel->directories();
}

QStringList ServerBrowser::fileNames() const
{
    QStringList names;
    names.reserve(qsizetype(m_fileModel->rows().size()));
    for (const FileRow& r : m_fileModel->rows())
        names.append(r.name);
    return names;
}

bool ServerBrowser::eventFilter(QObject* watched, QEvent* event)
{
    // Enter on a node does what a click does (the view's own "activated" would also fire on
    // double clicks, changing directory twice).
    if (watched == m_tree && event->type() == QEvent::KeyPress) {
        const int key = static_cast<QKeyEvent*>(event)->key();
        if (key == Qt::Key_Return || key == Qt::Key_Enter) {
            onTreeClicked(m_tree->currentIndex());
            return true;
        }
    }
    return QWidget::eventFilter(watched, event);
}

void ServerBrowser::onTreeClicked(const QModelIndex& index)
{
    if (!index.isValid() || !(m_dirModel->flags(index) & Qt::ItemIsEnabled))
        return;
    if (m_dirModel->isParentRow(index.row())) {
        emit directoryClicked(QStringLiteral("/"), QByteArray("/"));
        return;
    }
    const ServerDirectory& d = m_dirModel->directory(index.row());
    emit directoryClicked(d.name, d.rawName);
}

}  // namespace zephra::browse
