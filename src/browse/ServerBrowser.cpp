#include "browse/ServerBrowser.h"

#include <QAction>
#include <QFile>
#include <QFileInfo>
#include <QFutureWatcher>
#include <QLabel>
#include <QtConcurrent/QtConcurrentRun>
#include <QHeaderView>
#include <QItemSelectionModel>
#include <QKeyEvent>
#include <QMenu>
#include <QSplitter>
#include <QTreeView>
#include <QVBoxLayout>

#include <algorithm>
#include <memory>

#include "browse/FileListView.h"
#include "browse/ServerListing.h"
#include "ftp/Listing.h"
#include "ftp/ListingLimit.h"

namespace zephra::browse {

namespace {

struct ReadListing {
    QByteArray bytes;
    QString error;  // empty: read
};

// The rest of an open work file, never more than the listing limit of it in memory.
ReadListing readWorkFile(QFile& file, const QString& what)
{
    ReadListing out;
    out.bytes.reserve(qMin(file.size(), ftp::kMaxListingBytes));
    char block[64 * 1024];
    qint64 got = 0;
    ftp::ListingMeter meter;
    while ((got = file.read(block, sizeof block)) > 0) {
        if (!meter.add(QByteArrayView(block, got))) {  // too many lines, or it grew while being read
            out.bytes.clear();
            out.error = ftp::listingTooLargeMessage(what);
            return out;
        }
        out.bytes.append(block, got);
    }
    if (got < 0)
        out.error = file.errorString();
    return out;
}

struct ParsedListing {
    ServerListing listing;
    QString error;
};

}  // namespace

ServerBrowser::ServerBrowser(QWidget* parent) : QWidget(parent)
{
    setObjectName(QStringLiteral("ServerBrowser"));
    m_dirModel = new ServerDirModel(this);
    m_fileModel = new FileListModel(this);

    m_tree = new QTreeView;
    m_tree->setObjectName(QStringLiteral("TView1"));
    m_tree->setModel(m_dirModel);
    m_tree->setHeaderHidden(true);  // shown once the directory is known
    m_tree->setRootIsDecorated(false);
    m_tree->setItemsExpandable(false);
    m_tree->setUniformRowHeights(true);
    m_tree->setEditTriggers(QAbstractItemView::NoEditTriggers);
    m_tree->setContextMenuPolicy(Qt::CustomContextMenu);

    m_files = new QTreeView;
    m_files->setObjectName(QStringLiteral("ListView2"));
    m_files->setModel(m_fileModel);
    setUpFileListView(m_files);
    // Written over the list, so it goes wherever the window places the list.
    m_errorLabel = new QLabel(m_files->viewport());
    m_errorLabel->setObjectName(QStringLiteral("ServerListingError"));
    m_errorLabel->setWordWrap(true);
    m_errorLabel->setAlignment(Qt::AlignCenter);
    m_errorLabel->setMargin(12);
    m_errorLabel->setTextInteractionFlags(Qt::TextSelectableByMouse);
    m_errorLabel->hide();
    m_files->viewport()->installEventFilter(this);

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
    connect(m_files, &QTreeView::doubleClicked, this, &ServerBrowser::onFileDoubleClicked);
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

void ServerBrowser::setDirectory(const QByteArray& rawPath)
{
    m_directory = rawPath;
    m_dirModel->setHeaderText(ftp::decodeServerName(rawPath));
    m_tree->setHeaderHidden(rawPath.isEmpty());
}

void ServerBrowser::loadServerData(QByteArrayView listing, const QString& filter)
{
    ++m_generation;
    setLoading(false);
    showRows(buildServerListing(listing, filter), false);
}

void ServerBrowser::loadServerFiles(QByteArrayView listing)
{
    ++m_generation;
    setLoading(false);
    showRows(buildServerListing(listing), true);
}

bool ServerBrowser::loadServerDataFromFile(const QString& path, const QString& filter, QString* error)
{
    return startLoad(path, filter, false, error);
}

bool ServerBrowser::loadServerFilesFromFile(const QString& path, QString* error)
{
    return startLoad(path, {}, true, error);
}

bool ServerBrowser::startLoad(const QString& path, const QString& filter, bool filesOnly, QString* error)
{
    const quint64 generation = ++m_generation;
    setLoading(false);
    // Opened here, so a missing or oversized work file is refused at once and the lists stay.
    // The worker reads this open file: the sessions replace the work file by renaming a new
    // one over it, so what is read is the listing as it was when the load started.
    // The QFile is used by one thread at a time and never by the event loop.
    auto file = std::make_shared<QFile>(path);
    if (!file->open(QIODevice::ReadOnly) || file->size() > ftp::kMaxListingBytes) {
        if (error)
            *error = file->isOpen() ? ftp::listingTooLargeMessage(listWhat()) : file->errorString();
        return false;
    }
    const qint64 size = file->size();
    auto parse = [file, filter, what = listWhat(), today = QDate::currentDate()] {
        ParsedListing out;
        const ReadListing read = readWorkFile(*file, what);
        file->close();
        if (read.error.isEmpty())
            out.listing = buildServerListing(read.bytes, filter, today);
        else
            out.error = read.error;
        return out;
    };
    if (size <= m_inPlaceLimit) {
        ParsedListing parsed = parse();
        if (!parsed.error.isEmpty()) {
            if (error)
                *error = parsed.error;
            return false;
        }
        showRows(std::move(parsed.listing), filesOnly);
        emit loadFinished();
        return true;
    }
    setLoading(true);
    // The watcher is the browser's child: a browser that goes first hears nothing.
    auto* watcher = new QFutureWatcher<ParsedListing>(this);
    connect(watcher, &QFutureWatcherBase::finished, this, [this, watcher, generation, filesOnly] {
        watcher->deleteLater();
        if (generation != m_generation)
            return;  // a newer listing, a failure shown or a closed session replaced it
        ParsedListing parsed = watcher->result();
        setLoading(false);
        if (!parsed.error.isEmpty()) {
            showListingFailure(m_directory, parsed.error);
            emit loadFailed(parsed.error);
            return;
        }
        showRows(std::move(parsed.listing), filesOnly);
        emit loadFinished();
    });
    watcher->setFuture(QtConcurrent::run(std::move(parse)));
    return true;
}

void ServerBrowser::showRows(ServerListing listing, bool filesOnly)
{
    setError({});
    if (!filesOnly)
        m_dirModel->setDirectories(std::move(listing.directories));
    m_fileModel->setRows(std::move(listing.files));
}

void ServerBrowser::setLoading(bool loading)
{
    m_loading = loading;
    m_tree->setEnabled(!loading);
    m_files->setEnabled(!loading);
}

void ServerBrowser::setError(const QString& error)
{
    m_error = error;
    m_errorLabel->setText(error);
    m_errorLabel->setGeometry(m_files->viewport()->rect());
    m_errorLabel->setVisible(!error.isEmpty());
}

QString ServerBrowser::listWhat() const
{
    return m_directory.isEmpty() ? QStringLiteral("list the server directory")
                                 : QStringLiteral("list ") + ftp::decodeServerName(m_directory);
}

void ServerBrowser::showListingFailure(const QByteArray& rawPath, const QString& error)
{
    ++m_generation;
    setLoading(false);
    setDirectory(rawPath);
    m_dirModel->setDirectories({});
    m_fileModel->clear();
    setError(error);
}

void ServerBrowser::clear()
{
    ++m_generation;
    setLoading(false);
    setDirectory({});
    m_dirModel->clear();
    m_fileModel->clear();
    setError({});
}

std::vector<ServerBrowser::SelectedFile> ServerBrowser::selectedFiles() const
{
    if (m_loading)
        return {};
    QModelIndexList rows = m_files->selectionModel()->selectedRows(FileListModel::NameColumn);
    std::sort(rows.begin(), rows.end(),
              [](const QModelIndex& a, const QModelIndex& b) { return a.row() < b.row(); });
    std::vector<SelectedFile> out;
    out.reserve(std::size_t(rows.size()));
    for (const QModelIndex& idx : rows) {
        const FileRow& r = m_fileModel->row(idx.row());
        if (r.offered)
            out.push_back({r.name, r.rawName, r.size, r.isLink});
    }
    return out;
}

QList<QByteArray> ServerBrowser::selectedRawNames() const
{
    QList<QByteArray> names;
    for (const SelectedFile& file : selectedFiles())
        names.append(file.rawName);
    return names;
}

std::vector<ServerDirectory> ServerBrowser::directoryNodes() const
{
    if (m_loading)
        return {};
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
    if (watched == m_files->viewport() && event->type() == QEvent::Resize)
        m_errorLabel->setGeometry(m_files->viewport()->rect());
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
        emit directoryClicked(QStringLiteral("/"), QByteArray("/"), false);
        return;
    }
    const ServerDirectory& d = m_dirModel->directory(index.row());
    emit directoryClicked(d.name, d.rawName, false);
}

void ServerBrowser::onFileDoubleClicked(const QModelIndex& index)
{
    if (!index.isValid() || m_loading)
        return;
    const FileRow& r = m_fileModel->row(index.row());
    if (r.isLink && r.offered)
        emit directoryClicked(r.name, r.rawName, true);
}

}  // namespace zephra::browse
