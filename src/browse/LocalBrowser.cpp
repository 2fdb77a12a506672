#include "browse/LocalBrowser.h"

#include <QAction>
#include <QComboBox>
#include <QDir>
#include <QSet>
#include <QTimer>
#include <QFileSystemWatcher>
#include <QFileInfo>
#include <QFileSystemModel>
#include <QHeaderView>
#include <QScopedValueRollback>
#include <QScrollBar>
#include <QItemSelectionModel>
#include <QListView>
#include <QMenu>
#include <QSplitter>
#include <QStorageInfo>
#include <QTreeView>
#include <QVBoxLayout>

#include <algorithm>

#include "browse/FileIcons.h"
#include "browse/FileListView.h"
#include "browse/LocalFiles.h"
#include "browse/LocalPath.h"

namespace zephra::browse {

namespace {

QString cleanAbsolute(const QString& path)
{
    return QDir::cleanPath(QFileInfo(path).absoluteFilePath());
}

bool isSameOrInside(const QString& path, const QString& directory)
{
    if (path == directory)
        return true;
    const QString prefix = directory.endsWith(u'/') ? directory : directory + u'/';
    return path.startsWith(prefix);
}

}  // namespace

LocalBrowser::LocalBrowser(dialogs::Prompter& prompter, const QString& startPath, QWidget* parent)
    : QWidget(parent), m_ops(prompter, this), m_askName(&frmNewName::ask)
{
    setObjectName(QStringLiteral("LocalBrowser"));

    m_drives = new QComboBox;
    m_drives->setObjectName(QStringLiteral("Drive1"));

    m_dirModel = new QFileSystemModel(this);
    m_dirModel->setFilter(QDir::AllDirs | QDir::NoDotAndDotDot | QDir::Drives);
    m_dirModel->setReadOnly(true);
    m_dirs = new QTreeView;
    m_dirs->setObjectName(QStringLiteral("Dir1"));
    m_dirs->setModel(m_dirModel);
    m_dirs->setHeaderHidden(true);
    for (int c = 1; c < m_dirModel->columnCount(); ++c)
        m_dirs->hideColumn(c);
    m_dirs->setEditTriggers(QAbstractItemView::NoEditTriggers);
    m_dirs->setContextMenuPolicy(Qt::CustomContextMenu);

    m_fileModel = new FileListModel(this);
    m_file1 = new QListView;
    m_file1->setObjectName(QStringLiteral("File1"));
    m_file1->setModel(m_fileModel);
    m_file1->setModelColumn(FileListModel::NameColumn);
    m_file1->setUniformItemSizes(true);
    m_file1->setIconSize(QSize(16, 16));
    m_file1->setEditTriggers(QAbstractItemView::NoEditTriggers);

    m_files = new QTreeView;
    m_files->setObjectName(QStringLiteral("ListView1"));
    m_files->setModel(m_fileModel);
    setUpFileListView(m_files);

    m_dirMenu = makePopupMenu(this, "LocalDir",
                              {{"LocalDirDelete", "Delete Dir"},
                               {"LocalDirMakeDir", "Make Directory..."},
                               {"LocalDirRename", "Rename Directory..."},
                               {nullptr, nullptr},
                               {"LocalDirExit", "Exit"}});
    m_filesMenu = makePopupMenu(this, "LocalFiles",
                                {{"LocalFilesDelete", "Delete File(s)"},
                                 {"LocalFileEdit", "Edit..."},
                                 {"LocalFileFilter", "Filter..."},
                                 {"LocalFileRename", "Rename..."},
                                 {"LocalFileSendNormal", "Upload File Normal"},
                                 {"LocalFilesSendEncrypted", "Upload File Encrypted"},
                                 {"LocalFileView", "View"},
                                 {nullptr, nullptr},
                                 {"LocalFilesExit", "Exit"}});
    connectOperations();

    auto* left = new QSplitter(Qt::Vertical);
    auto* top = new QWidget;
    auto* topLayout = new QVBoxLayout(top);
    topLayout->setContentsMargins(0, 0, 0, 0);
    topLayout->addWidget(m_drives);
    topLayout->addWidget(m_dirs);
    left->addWidget(top);
    left->addWidget(m_file1);
    auto* split = new QSplitter(Qt::Horizontal);
    split->addWidget(left);
    split->addWidget(m_files);
    split->setStretchFactor(1, 3);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(split);

    fillDrives();
    connect(m_drives, &QComboBox::activated, this, [this](int index) {
        openChosen(m_drives->itemData(index).toString());
    });
    // The file-system model fills in the background: once a directory on the way to the open
    // one has been read, the open one can be shown.
    connect(m_dirModel, &QFileSystemModel::directoryLoaded, this, [this](const QString& loaded) {
        if (m_revealPending && isSameOrInside(m_path, QDir::cleanPath(loaded)))
            revealInTree(m_path);
    });
    // It also sorts what it has read a moment later, which moves the rows again.
    connect(m_dirModel, &QAbstractItemModel::layoutChanged, this, [this] {
        if (m_revealPending)
            revealInTree(m_path);
    });
    // Once the user moves the highlight, opens or closes a branch or scrolls, a late load must
    // not move the tree back.
    connect(m_dirs->selectionModel(), &QItemSelectionModel::currentChanged, this,
            [this](const QModelIndex& current) {
                if (current.isValid() && QDir::cleanPath(m_dirModel->filePath(current)) != m_path)
                    m_revealPending = false;
            });
    const auto userMoved = [this] {
        if (!m_revealing)
            m_revealPending = false;
    };
    connect(m_dirs, &QTreeView::expanded, this, userMoved);
    connect(m_dirs, &QTreeView::collapsed, this, userMoved);
    connect(m_dirs->verticalScrollBar(), &QAbstractSlider::actionTriggered, this, userMoved);
    connect(m_dirs, &QTreeView::activated, this, [this](const QModelIndex& index) {
        openChosen(m_dirModel->filePath(index));
    });
    connect(m_dirs, &QWidget::customContextMenuRequested, this, [this](const QPoint& pos) {
        m_dirMenu->popup(m_dirs->viewport()->mapToGlobal(pos));
    });
    connect(m_files, &QWidget::customContextMenuRequested, this, [this](const QPoint& pos) {
        if (m_fileModel->rowCount() > 0)
            m_filesMenu->popup(m_files->viewport()->mapToGlobal(pos));
    });

    if (!setPath(startPath.isEmpty() ? QDir::currentPath() : startPath))
        setPath(QDir::homePath());
}

void LocalBrowser::connectOperations()
{
    const std::pair<const char*, void (LocalBrowser::*)()> operations[] = {
        {"LocalDirDelete", &LocalBrowser::deleteDirectory},
        {"LocalDirMakeDir", &LocalBrowser::makeDirectory},
        {"LocalDirRename", &LocalBrowser::renameDirectory},
        {"LocalFilesDelete", &LocalBrowser::deleteFiles},
        {"LocalFileRename", &LocalBrowser::renameFiles},
    };
    for (QMenu* menu : {m_dirMenu, m_filesMenu}) {
        for (QAction* action : menu->actions()) {
            for (const auto& [name, operation] : operations) {
                if (action->objectName() == QLatin1String(name)) {
                    connect(action, &QAction::triggered, this, operation);
                }
            }
        }
    }
}

void LocalBrowser::fillDrives()
{
    const QSignalBlocker block(m_drives);
    m_drives->clear();
    QList<QStorageInfo> volumes = QStorageInfo::mountedVolumes();
    std::sort(volumes.begin(), volumes.end(), [](const QStorageInfo& a, const QStorageInfo& b) {
        return a.rootPath() < b.rootPath();
    });
    const IconSet icons;
    for (const QStorageInfo& v : volumes) {
        if (!v.isValid() || !v.isReady())
            continue;
        const QString root = v.rootPath();
        QString text = QDir::toNativeSeparators(root);
        if (!v.displayName().isEmpty() && v.displayName() != root)
            text += QStringLiteral(" [%1]").arg(v.displayName());
        m_drives->addItem(icons.icon(kIconDrive), text, root);
    }
}

QString LocalBrowser::path() const
{
    return QDir::toNativeSeparators(m_path);
}

void LocalBrowser::openChosen(const QString& directory)
{
    // A drive that is not ready or a directory the user may not read: say why and stay.
    if (const QString problem = localfs::openDirectoryProblem(directory); !problem.isEmpty()) {
        m_ops.reportError(QStringLiteral("%1: %2").arg(QDir::toNativeSeparators(directory), problem));
        showInTree(m_path);
        return;
    }
    setPath(directory);
}

bool LocalBrowser::setPath(const QString& directory)
{
    if (directory.isEmpty() || !localfs::openDirectoryProblem(directory).isEmpty())
        return false;
    if (!m_watcher) {
        m_watcher = new QFileSystemWatcher(this);
        m_refreshSoon = new QTimer(this);
        m_refreshSoon->setSingleShot(true);
        m_refreshSoon->setInterval(50);
        connect(m_watcher, &QFileSystemWatcher::directoryChanged, m_refreshSoon, qOverload<>(&QTimer::start));
        connect(m_refreshSoon, &QTimer::timeout, this, &LocalBrowser::refresh);
    }
    if (!m_path.isEmpty())
        m_watcher->removePath(m_path);
    m_path = cleanAbsolute(directory);
    m_filter.clear();
    m_watcher->addPath(m_path);
    showInTree(m_path);
    loadLocalFiles();
    emit pathChanged(path());
    return true;
}

void LocalBrowser::showInTree(const QString& directory)
{
    const QString root = QDir::cleanPath(QStorageInfo(directory).rootPath());
    const QString volumeRoot = root.isEmpty() ? QDir::rootPath() : root;
    {
        const QSignalBlocker block(m_drives);
        int at = m_drives->findData(volumeRoot);
        if (at < 0) {
            fillDrives();
            at = m_drives->findData(volumeRoot);
        }
        m_drives->setCurrentIndex(at);
    }
    m_dirModel->setRootPath(volumeRoot);
    m_dirs->setRootIndex(m_dirModel->index(volumeRoot));
    m_revealPending = true;
    if (directory == volumeRoot) {
        m_revealPending = false;
        m_dirs->setCurrentIndex({});
        m_dirs->clearSelection();
        return;
    }
    revealInTree(directory);
}

void LocalBrowser::revealInTree(const QString& directory)
{
    const QModelIndex current = m_dirModel->index(directory);
    if (!current.isValid())
        return;
    const QScopedValueRollback<bool> revealing(m_revealing, true);
    for (QModelIndex up = current.parent(); up.isValid(); up = up.parent())
        m_dirs->expand(up);
    if (m_dirs->currentIndex() != current)
        m_dirs->setCurrentIndex(current);
    m_dirs->scrollTo(current);
}

QString LocalBrowser::highlightedDirectory() const
{
    const QModelIndex current = m_dirs->currentIndex();
    if (current.isValid())
        return QDir::toNativeSeparators(m_dirModel->filePath(current));
    return path();
}

void LocalBrowser::loadLocalFiles(const QString& filter)
{
    m_filter = filter;
    m_fileModel->setRows(readLocalFiles(m_path, filter));
    m_files->clearSelection();
}

void LocalBrowser::refresh()
{
    QSet<QString> selected;
    for (const QModelIndex& index : m_files->selectionModel()->selectedRows())
        selected.insert(index.data().toString());
    const QModelIndex current = m_files->currentIndex();
    const QString currentName = current.isValid() ? current.siblingAtColumn(0).data().toString() : QString();
    loadLocalFiles(m_filter);
    for (int row = 0; row < m_fileModel->rowCount(); ++row) {
        const QModelIndex index = m_fileModel->index(row, 0);
        const QString name = index.data().toString();
        if (selected.contains(name))
            m_files->selectionModel()->select(index, QItemSelectionModel::Select | QItemSelectionModel::Rows);
        if (name == currentName)
            m_files->selectionModel()->setCurrentIndex(index, QItemSelectionModel::NoUpdate);
    }
}

QString LocalBrowser::filePath(const QString& rowText) const
{
    return localFilePath(path(), rowText);
}

QStringList LocalBrowser::selectedFilePaths() const
{
    QModelIndexList rows = m_files->selectionModel()->selectedRows(FileListModel::NameColumn);
    std::sort(rows.begin(), rows.end(),
              [](const QModelIndex& a, const QModelIndex& b) { return a.row() < b.row(); });
    QStringList paths;
    for (const QModelIndex& idx : rows)
        paths.append(filePath(m_fileModel->row(idx.row()).name));
    return paths;
}

QStringList LocalBrowser::fileNames() const
{
    QStringList names;
    for (const FileRow& r : m_fileModel->rows())
        names.append(r.name);
    return names;
}

void LocalBrowser::deleteDirectory()
{
    const QString target = highlightedDirectory();
    const auto outcome = m_ops.deleteDirectory(target);
    if (outcome == LocalFileOperations::Outcome::Cancelled)
        return;
    // The removed directory may have been the open one: fall back to its nearest parent.
    QString open = m_path;
    while (!QFileInfo(open).isDir() && open != QDir::cleanPath(QFileInfo(open).path()))
        open = QDir::cleanPath(QFileInfo(open).path());
    if (open != m_path)
        setPath(open);
    else
        loadLocalFiles();
}

void LocalBrowser::makeDirectory()
{
    const QString parentDir = highlightedDirectory();
    const QString name = m_askName(this, NameMode::NewDirectory);
    if (name.isEmpty())
        return;
    if (const auto created = m_ops.makeDirectory(parentDir, name))
        setPath(*created);
}

void LocalBrowser::renameDirectory()
{
    const QString source = cleanAbsolute(highlightedDirectory());
    const QString name = m_askName(this, NameMode::NewDirectory);
    if (name.isEmpty())
        return;
    const auto renamed = m_ops.renameDirectory(source, name);
    if (!renamed) {
        loadLocalFiles();
        return;
    }
    const QString target = cleanAbsolute(*renamed);
    if (isSameOrInside(m_path, source))
        setPath(target + m_path.mid(source.size()));
    else
        setPath(m_path);
}

void LocalBrowser::deleteFiles()
{
    const QStringList paths = selectedFilePaths();
    if (paths.isEmpty())
        return;
    if (m_ops.deleteFiles(paths).confirmed)
        loadLocalFiles();
}

void LocalBrowser::renameFiles()
{
    const QStringList paths = selectedFilePaths();
    if (paths.isEmpty())
        return;
    for (const QString& p : paths) {
        const QString newName = m_askName(this, NameMode::NewFile);
        if (!newName.isEmpty())
            (void)m_ops.renameFile(path(), QFileInfo(p).fileName(), newName);
    }
    loadLocalFiles();
}

}  // namespace zephra::browse
