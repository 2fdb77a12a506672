#include "app/FileDragDrop.h"

#include "app/FileCommands.h"
#include "app/SessionController.h"
#include "browse/LocalBrowser.h"
#include "browse/ServerBrowser.h"
#include "dialogs/Prompter.h"

#include <QApplication>
#include <QDataStream>
#include <QDrag>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFileInfo>
#include <QMimeData>
#include <QMouseEvent>
#include <QTimer>
#include <QTreeView>
#include <QUrl>

namespace zephra::app {

using transfer::TransferItem;
using Kind = TransferItem::Kind;

namespace {

constexpr quint32 kRecordVersion = 1;

// The local files of a uri-list, in order; other URLs (http:, a server's) are not files here.
QStringList localFilesOf(const QMimeData* data)
{
    QStringList paths;
    if (!data->hasUrls())
        return paths;
    for (const QUrl& url : data->urls())
        if (url.isLocalFile())
            paths.append(url.toLocalFile());
    return paths;
}

struct ServerRecord {
    qint64 process = 0;
    QByteArray directory;
    std::vector<browse::ServerBrowser::SelectedFile> files;
};

QByteArray encode(const ServerRecord& record)
{
    QByteArray bytes;
    QDataStream out(&bytes, QIODevice::WriteOnly);
    out << kRecordVersion << record.process << record.directory << quint32(record.files.size());
    for (const auto& file : record.files)
        out << file.name << file.rawName << file.size;
    return bytes;
}

bool decode(const QByteArray& bytes, ServerRecord* record)
{
    QDataStream in(bytes);
    quint32 version = 0, count = 0;
    in >> version >> record->process >> record->directory >> count;
    if (in.status() != QDataStream::Ok || version != kRecordVersion || count > 1000000)
        return false;
    for (quint32 i = 0; i < count; ++i) {
        browse::ServerBrowser::SelectedFile file;
        in >> file.name >> file.rawName >> file.size;
        if (in.status() != QDataStream::Ok)
            return false;
        record->files.push_back(file);
    }
    return true;
}

}  // namespace

FileDragDrop::FileDragDrop(Context context, QObject* parent) : QObject(parent), m_context(std::move(context))
{
    for (QTreeView* view : {m_context.local.fileList(), m_context.server.fileList()}) {
        view->viewport()->setAcceptDrops(true);
        view->viewport()->installEventFilter(this);
    }
}

QMimeData* FileDragDrop::localDragData() const
{
    const QStringList paths = m_context.local.selectedFilePaths();
    if (paths.isEmpty())
        return nullptr;
    QList<QUrl> urls;
    for (const QString& path : paths)
        urls.append(QUrl::fromLocalFile(path));
    auto* data = new QMimeData;
    data->setUrls(urls);
    return data;
}

QMimeData* FileDragDrop::serverDragData() const
{
    ServerRecord record;
    record.process = QApplication::applicationPid();
    record.directory = m_context.session.directory();
    record.files = m_context.server.selectedFiles();
    if (record.files.empty())
        return nullptr;
    auto* data = new QMimeData;
    data->setData(QLatin1String(kServerFilesMime), encode(record));
    QStringList names;
    for (const auto& file : record.files)
        names.append(file.name);
    data->setText(names.join(u'\n'));  // for a drop into a text field
    return data;
}

FileDragDrop::Target FileDragDrop::targetOf(QObject* viewport) const
{
    if (viewport == m_context.server.fileList()->viewport())
        return Target::Server;
    if (viewport == m_context.local.fileList()->viewport())
        return Target::Local;
    return Target::None;
}

bool FileDragDrop::accepts(Target target, const QMimeData* data) const
{
    if (!data || !m_context.plainAllowed())
        return false;
    // The server's own files dragged back onto its list mean nothing; the local list takes
    // only the server's files.
    if (target == Target::Server)
        return !data->hasFormat(QLatin1String(kServerFilesMime)) && !localFilesOf(data).isEmpty();
    if (target == Target::Local) {
        ServerRecord record;
        return data->hasFormat(QLatin1String(kServerFilesMime))
               && decode(data->data(QLatin1String(kServerFilesMime)), &record)
               && record.process == QApplication::applicationPid();
    }
    return false;
}

bool FileDragDrop::eventFilter(QObject* watched, QEvent* event)
{
    const Target target = targetOf(watched);
    if (target == Target::None)
        return QObject::eventFilter(watched, event);
    QTreeView* view = target == Target::Server ? m_context.server.fileList() : m_context.local.fileList();

    switch (event->type()) {
    case QEvent::MouseButtonPress: {
        auto* mouse = static_cast<QMouseEvent*>(event);
        const QPoint pos = mouse->position().toPoint();
        const QModelIndex index = view->indexAt(pos);
        // A press on a selected row leaves the selection as it is (a click selects that row
        // alone on release); the moves until the drag starts must not change it either.
        const bool onSelected = mouse->button() == Qt::LeftButton && mouse->modifiers() == Qt::NoModifier
                                && index.isValid() && view->selectionModel()->isSelected(index);
        m_pressedView = onSelected ? view : nullptr;
        m_pressX = pos.x();
        m_pressY = pos.y();
        return false;
    }
    case QEvent::MouseMove: {
        auto* mouse = static_cast<QMouseEvent*>(event);
        if (m_pressedView != view || !(mouse->buttons() & Qt::LeftButton))
            return false;
        const QPoint pos = mouse->position().toPoint();
        if ((pos - QPoint(m_pressX, m_pressY)).manhattanLength() < QApplication::startDragDistance())
            return true;
        m_pressedView = nullptr;
        if (QMimeData* data = target == Target::Server ? serverDragData() : localDragData()) {
            auto* drag = new QDrag(view);
            drag->setMimeData(data);
            drag->exec(Qt::CopyAction, Qt::CopyAction);
        }
        return true;
    }
    case QEvent::MouseButtonRelease:
        m_pressedView = nullptr;
        return false;
    case QEvent::DragEnter:
    case QEvent::DragMove: {
        auto* drag = static_cast<QDragMoveEvent*>(event);
        if (accepts(target, drag->mimeData())) {
            drag->setDropAction(Qt::CopyAction);
            drag->accept();
        } else {
            drag->ignore();
        }
        return true;
    }
    case QEvent::Drop: {
        auto* drop = static_cast<QDropEvent*>(event);
        if (!accepts(target, drop->mimeData())) {
            drop->ignore();
            return true;
        }
        drop->setDropAction(Qt::CopyAction);
        drop->accept();
        dropped(target, drop->mimeData());
        return true;
    }
    default:
        return QObject::eventFilter(watched, event);
    }
}

void FileDragDrop::dropped(Target target, const QMimeData* data)
{
    // The drag's data goes with the drag: what is needed is taken now, and the question and the
    // transfer come once the drop has returned (a dialog inside a drop holds the drag open).
    if (target == Target::Server) {
        const QStringList paths = localFilesOf(data);
        QTimer::singleShot(0, this, [this, paths] { upload(paths); });
    } else {
        const QByteArray record = data->data(QLatin1String(kServerFilesMime));
        QTimer::singleShot(0, this, [this, record] { download(record); });
    }
}

int FileDragDrop::askEncryption(int files, bool upload) const
{
    if (!m_context.encryptedAllowed())
        return 0;
    const QString what = files == 1 ? QStringLiteral("one file") : QStringLiteral("%1 files").arg(files);
    const QString text = upload ? QStringLiteral("Send %1 plain or encrypted?").arg(what)
                                : QStringLiteral("Receive %1 plain or encrypted?").arg(what);
    const QString details = upload
        ? QStringLiteral("Encrypted: the server receives the files encrypted with the accepted key.")
        : QStringLiteral("Encrypted: the files are decrypted with the accepted key as they arrive.");
    const int chosen = m_context.prompter.choose(m_context.window, dialogs::kAppTitle, text,
                                                 {QStringLiteral("Plain"), QStringLiteral("Encrypted"), QStringLiteral("Cancel")},
                                                 details);
    return chosen == 0 || chosen == 1 ? chosen : -1;
}

void FileDragDrop::upload(const QStringList& paths)
{
    if (!m_context.plainAllowed())
        return;
    QStringList files, folders;
    for (const QString& path : paths) {
        const QFileInfo info(path);
        (info.isFile() ? files : folders).append(path);
    }
    if (!folders.isEmpty()) {
        QStringList names;
        for (const QString& folder : std::as_const(folders))
            names.append(QFileInfo(folder).fileName());
        const QString text = QStringLiteral("Folders are not sent by drag and drop: %1").arg(names.join(QStringLiteral(", ")));
        m_context.setStatus(text);
        emit leftOut(text);
    }
    if (files.isEmpty())
        return;
    const int choice = askEncryption(int(files.size()), true);
    if (choice < 0)
        return;
    QList<TransferItem> items;
    for (const QString& path : std::as_const(files))
        items.append({choice == 1 ? Kind::UploadEncrypted : Kind::Upload, QFileInfo(path).fileName(), path});
    m_context.commands.transferItems(items);
}

void FileDragDrop::download(const QByteArray& bytes)
{
    ServerRecord record;
    if (!m_context.plainAllowed() || !decode(bytes, &record) || record.files.empty())
        return;
    if (record.directory != m_context.session.directory()) {
        m_context.prompter.information(m_context.window, dialogs::kAppTitle,
                                       QStringLiteral("The server list shows another directory now; nothing was fetched."));
        return;
    }
    const int choice = askEncryption(int(record.files.size()), false);
    if (choice < 0)
        return;
    QList<TransferItem> items;
    for (const auto& file : record.files) {
        TransferItem item{choice == 1 ? Kind::DownloadDecrypted : Kind::Download, file.name, m_context.local.filePath(file.name)};
        item.size = file.size;
        item.rawName = file.rawName;
        items.append(item);
    }
    m_context.commands.transferItems(items);
}

}  // namespace zephra::app
