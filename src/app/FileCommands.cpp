#include "app/FileCommands.h"

#include "app/SessionController.h"
#include "browse/FileListModel.h"
#include "browse/LocalBrowser.h"
#include "browse/ServerBrowser.h"
#include "crypto/Engine.h"
#include "crypto/sealed/SealedFormat.h"
#include "dialogs/Prompter.h"
#include "dialogs/frmEdit.h"
#include "dialogs/frmFilter.h"
#include "ftp/Listing.h"
#include "keys/AppDir.h"
#include "keys/RecordFile.h"

#include <QDateTime>
#include <QDir>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QTimer>

namespace zephra::app {

using transfer::RunSummary;
using transfer::TransferItem;
using Kind = TransferItem::Kind;

namespace {

const QString kReady = QStringLiteral("Ready...");

// One side of the overwrite question: "12 bytes, 2024-05-01 10:00".
QString describeFile(qint64 size, qint64 wallClock)
{
    QString text = size < 0 ? QStringLiteral("size unknown") : QStringLiteral("%1 bytes").arg(size);
    if (const QString date = browse::formatWallClock(wallClock); !date.isEmpty())
        text += QStringLiteral(", ") + date;
    return text;
}

bool sameDirectory(const QString& a, const QString& b)
{
    const QString ca = QFileInfo(a).canonicalFilePath();
    return !ca.isEmpty() && ca == QFileInfo(b).canonicalFilePath();
}

}  // namespace

FileCommands::FileCommands(Context context, QObject* parent) : QObject(parent), m_context(std::move(context))
{
    dialogs::Prompter& prompter = m_context.prompter;
    const QString appDir = m_context.appDir;
    m_dialogs.askName = &browse::frmNewName::ask;
    m_dialogs.askDirectory = [&prompter](QWidget* parent, browse::DelRenMode mode,
                                         std::vector<browse::ServerDirectory> dirs) {
        return browse::frmServerDelRen::ask(parent, mode, std::move(dirs), prompter);
    };
    m_dialogs.askFilter = [&prompter](QWidget* parent, const QStringList& names) {
        return dialogs::frmFilter::ask(parent, names, prompter);
    };
    m_dialogs.edit = [&prompter, appDir](QWidget* parent, const QString& path) {
        return dialogs::frmEdit::edit(parent, appDir, path, prompter);
    };
    m_dialogs.view = &dialogs::launchViewer;
}

FileCommands::~FileCommands()
{
    if (!m_run)
        return;
    m_run.reset();  // cancels what runs
    m_route.reset();
    m_context.session.endCommand();
}

QString FileCommands::workDir() const { return m_context.appDir + QLatin1String(keys::files::kWorkDir) + u'/'; }

QString FileCommands::viewCopy() const { return m_context.appDir + QStringLiteral("ViewData.txt"); }

void FileCommands::cancel()
{
    if (m_run)
        m_run->cancel();
}

void FileCommands::cancelForQuit()
{
    if (!m_run)
        return;
    m_quitting = true;
    QEventLoop loop;
    connect(this, &FileCommands::runningChanged, &loop, [&loop](bool running) {
        if (!running)
            loop.quit();
    });
    // A server that never answers the cancel holds the quit this long at most; shutdown then
    // drops the session.
    QTimer::singleShot(5000, &loop, &QEventLoop::quit);
    m_run->cancel();
    if (m_run)
        loop.exec(QEventLoop::ExcludeUserInputEvents);
}

transfer::ItemDecision FileCommands::askBeforeReplacing(const TransferItem& item, bool& overwriteAll)
{
    using Action = transfer::ItemDecision::Action;
    const bool upload = item.kind == Kind::Upload || item.kind == Kind::UploadEncrypted;
    // The server side as the listing shows it (the route's directory is the one shown).
    const QByteArray serverName = item.serverName();
    const browse::FileRow* serverRow = nullptr;
    for (const browse::FileRow& row : m_context.server.fileModel()->rows())
        if (row.rawName == serverName)
            serverRow = &row;
    const QFileInfo localFile(item.localPath);
    qint64 existingSize = -1, existingDate = -1, newSize = -1, newDate = -1;
    if (upload) {
        if (!serverRow)
            return {};
        existingSize = serverRow->size;
        existingDate = serverRow->modified;
        newSize = localFile.size();
        // A sealed upload puts a header and a tag per chunk on the server: a copy cut near the
        // end may be longer than the plaintext and still a start of the sealed file.
        if (item.kind == Kind::UploadEncrypted && m_sealedOptions && m_sealedOptions().sealUploads)
            newSize = qint64(crypto::sealed::sealedSize(quint64(newSize)));
        newDate = browse::wallClockKey(localFile.lastModified());
    } else {
        if (!localFile.isFile())
            return {};
        existingSize = localFile.size();
        existingDate = browse::wallClockKey(localFile.lastModified());
        newSize = serverRow ? serverRow->size : item.size;
        newDate = serverRow ? serverRow->modified : -1;
    }
    if (overwriteAll)
        return {};
    // Resume continues the existing file: offered only when it is a shorter start of the new one.
    const bool resumable = existingSize >= 0 && newSize >= 0 && existingSize < newSize;
    QStringList buttons{QStringLiteral("Overwrite"), QStringLiteral("Overwrite all")};
    if (resumable)
        buttons << QStringLiteral("Resume");
    buttons << QStringLiteral("Skip") << QStringLiteral("Cancel");
    const QString where = upload ? QStringLiteral("on the server") : QStringLiteral("in the local directory");
    const QString text = QStringLiteral("%1 already exists %2. Replace it?").arg(item.name, where);
    const QString details = QStringLiteral("Existing file (%1): %2\nNew file (%3): %4")
                                .arg(upload ? QStringLiteral("server") : QStringLiteral("local"),
                                     describeFile(existingSize, existingDate),
                                     upload ? QStringLiteral("local") : QStringLiteral("server"),
                                     describeFile(newSize, newDate));
    const int chosen = m_context.prompter.choose(m_context.window, QStringLiteral("File exists"), text, buttons, details);
    const QString answer = chosen >= 0 ? buttons.at(chosen) : QStringLiteral("Cancel");
    if (answer == QLatin1String("Overwrite all"))
        overwriteAll = true;
    if (answer == QLatin1String("Overwrite") || answer == QLatin1String("Overwrite all"))
        return {};
    if (answer == QLatin1String("Resume"))
        return {Action::Resume, existingSize};
    if (answer == QLatin1String("Skip"))
        return {Action::Skip};
    return {Action::Cancel};  // Cancel, or the box closed without an answer
}

// ---- transfers -------------------------------------------------------------------------------

void FileCommands::uploadPlain() { transfer(Kind::Upload, true); }
void FileCommands::uploadEncrypted() { transfer(Kind::UploadEncrypted, true); }
void FileCommands::downloadPlain() { transfer(Kind::Download, false); }
void FileCommands::downloadEncrypted() { transfer(Kind::DownloadDecrypted, false); }

void FileCommands::transferItems(Items items)
{
    if (items.isEmpty() || !items.first().isTransfer())
        return;
    const Kind kind = items.first().kind;
    transfer(kind, kind == Kind::Upload || kind == Kind::UploadEncrypted, std::move(items));
}

void FileCommands::transfer(Kind kind, bool upload, std::optional<Items> given)
{
    if (isRunning() || m_context.session.phase() != SessionController::Phase::Connected)
        return;
    const bool encrypted = kind == Kind::UploadEncrypted || kind == Kind::DownloadDecrypted;
    const QString what = upload ? (encrypted ? QStringLiteral("The encrypted upload") : QStringLiteral("The upload"))
                                : (encrypted ? QStringLiteral("The encrypted download") : QStringLiteral("The download"));
    const After after = upload ? After::RefreshServer : After::RefreshLocal;

    Items items;
    if (upload) {
        for (const QString& path : m_context.local.selectedFilePaths())
            items.append({kind, QFileInfo(path).fileName(), path});
    } else {
        // The working directory of the cipher and the place of the plaintext must differ: the
        // paths are compared as files, so two spellings of one directory are caught too.
        if (encrypted && sameDirectory(m_context.local.path(), workDir())) {
            m_context.prompter.information(m_context.window, dialogs::kAppTitle,
                                           QStringLiteral("Cannot use this directory for both decryption and placement."));
            m_context.local.loadLocalFiles();
            return;
        }
        items = serverItems(kind);
    }
    if (given)
        items = std::move(*given);

    std::shared_ptr<const crypto::Cipher> cipher;
    if (encrypted && !items.isEmpty()) {
        std::unique_ptr<crypto::Cipher> loaded;
        const crypto::Status loadedStatus = m_context.engine.loadCipher(loaded);
        if (!loadedStatus.ok()) {
            m_context.prompter.warning(m_context.window, dialogs::kAppTitle,
                                       QStringLiteral("The key cannot be used: %1")
                                           .arg(QString::fromStdString(loadedStatus.message)));
            return;
        }
        cipher = std::move(loaded);
    }
    run(std::move(items), what, after, {}, std::move(cipher), true);
}

FileCommands::Items FileCommands::serverItems(Kind kind) const
{
    Items items;
    for (const browse::ServerBrowser::SelectedFile& file : m_context.server.selectedFiles()) {
        TransferItem item{kind, file.name, m_context.local.filePath(file.name)};
        item.size = file.size;
        item.rawName = file.rawName;
        items.append(item);
    }
    return items;
}

void FileCommands::run(Items items, const QString& what, After after,
                       std::function<void(const RunSummary&)> then, std::shared_ptr<const crypto::Cipher> cipher,
                       bool askFirst)
{
    if (items.isEmpty()) {
        // Nothing selected: only the closing steps run.
        finishRun(RunSummary{}, what, after, then);
        return;
    }
    if (!m_context.session.beginCommand())
        return;
    m_route = m_context.session.makeRoute();
    if (!m_route) {
        m_context.session.endCommand();
        return;
    }
    if (m_sealedOptions)
        m_route->setSealedOptions(m_sealedOptions());
    m_run = std::make_unique<transfer::TransferRun>(*m_route, std::move(items), std::move(cipher));
    if (askFirst) {
        m_run->setBeforeItem([this, overwriteAll = false](const TransferItem& item) mutable {
            return askBeforeReplacing(item, overwriteAll);
        });
    }
    // The steps of Edit and View write their own status texts.
    if (!then)
        connect(m_run.get(), &transfer::TransferRun::statusText, this, [this](const QString& text) { status(text); });
    connect(m_run.get(), &transfer::TransferRun::progress, this, &FileCommands::progress);
    connect(m_run.get(), &transfer::TransferRun::finished, this,
            [this, what, after, then](const RunSummary& summary) {
                // The run is deleted once its signal has returned.
                QTimer::singleShot(0, this, [this, summary, what, after, then] {
                    m_run.reset();
                    m_route.reset();
                    m_context.session.endCommand();
                    emit runningChanged(false);
                    finishRun(summary, what, after, then);
                });
            });
    emit runningChanged(true);
    if (!then)
        emit runStarted(what, m_run.get());
    m_run->start();
}

void FileCommands::finishRun(const RunSummary& summary, const QString& what, After after,
                             const std::function<void(const RunSummary&)>& then)
{
    if (m_quitting) {
        if (then)
            then(summary);  // Edit removes its copies
        return;
    }
    switch (after) {
    case After::RefreshServer: m_context.session.refreshListing(); break;
    case After::RefreshLocal: m_context.local.loadLocalFiles(); break;
    case After::Nothing: break;
    }
    if (then) {
        then(summary);
        return;
    }
    if (const QString report = summary.report(what); !report.isEmpty())
        m_context.prompter.warning(m_context.window, dialogs::kAppTitle, report);
}

void FileCommands::showFailures(const QString& what, const QStringList& failures)
{
    if (failures.isEmpty() || m_quitting)
        return;
    m_context.prompter.warning(m_context.window, dialogs::kAppTitle,
                               QStringLiteral("%1 failed:\n").arg(what) + failures.join(u'\n'));
}

// ---- ServerDir ------------------------------------------------------------------------------

void FileCommands::makeServerDirectory()
{
    if (isRunning())
        return;
    const QString name = m_dialogs.askName(m_context.window, browse::NameMode::NewDirectory);
    if (name.isEmpty())
        return;
    run({{Kind::MakeDirectory, name}}, QStringLiteral("Making the directory"), After::RefreshServer);
}

void FileCommands::deleteServerDirectory()
{
    if (isRunning())
        return;
    const browse::DelRenAnswer answer =
        m_dialogs.askDirectory(m_context.window, browse::DelRenMode::Delete, m_context.server.directoryNodes());
    if (!answer.accepted || answer.oldName.isEmpty())
        return;
    TransferItem item{Kind::RemoveDirectory, answer.oldName};
    item.rawName = answer.rawOldName;
    run({item}, QStringLiteral("Deleting the directory"), After::RefreshServer);
}

void FileCommands::renameServerDirectory()
{
    if (isRunning())
        return;
    const browse::DelRenAnswer answer =
        m_dialogs.askDirectory(m_context.window, browse::DelRenMode::Rename, m_context.server.directoryNodes());
    if (!answer.accepted || answer.oldName.isEmpty() || answer.newName.isEmpty())
        return;
    TransferItem item{Kind::Rename, answer.oldName, {}, answer.newName};
    item.rawName = answer.rawOldName;
    run({item}, QStringLiteral("Renaming the directory"), After::RefreshServer);
}

// ---- ServerFiles ----------------------------------------------------------------------------

void FileCommands::deleteServerFiles()
{
    if (isRunning())
        return;
    if (!m_context.prompter.question(m_context.window, QStringLiteral("Delete Confirm"),
                                     QStringLiteral("Are you sure you want to delete the selected file(s)?")))
        return;
    run(serverItems(Kind::Remove), QStringLiteral("Deleting"), After::RefreshServer);
}

void FileCommands::renameServerFiles()
{
    if (isRunning())
        return;
    Items items;
    for (const browse::ServerBrowser::SelectedFile& file : m_context.server.selectedFiles()) {
        const QString newName = m_dialogs.askName(m_context.window, browse::NameMode::NewFile);
        if (!newName.isEmpty())
            items.append({Kind::Rename, file.name, {}, newName, -1, file.rawName});
    }
    run(std::move(items), QStringLiteral("Renaming"), After::RefreshServer);
}

void FileCommands::filterServerFiles()
{
    const QString filter = m_dialogs.askFilter(m_context.window, m_context.server.fileNames());
    if (filter.isEmpty())
        return;
    QString error;
    if (!m_context.server.loadServerDataFromFile(m_context.session.workFile(), filter, &error))
        m_context.prompter.warning(m_context.window, dialogs::kAppTitle,
                                   QStringLiteral("The server listing could not be read: ") + error);
}

void FileCommands::viewServerFiles()
{
    if (isRunning())
        return;
    Items items = serverItems(Kind::Download);
    for (TransferItem& item : items)
        item.localPath = viewCopy();
    viewNext(std::move(items), {});
}

void FileCommands::viewNext(Items items, QStringList failures)
{
    if (items.isEmpty()) {
        status(kReady);
        showFailures(QStringLiteral("View"), failures);
        return;
    }
    const TransferItem item = items.takeFirst();
    // Owner-only like every file of the data directory: a download that replaces a file keeps
    // its mode, so the copy is made 0600 before the first fetch and stays so.
    if (QFile copy(viewCopy()); !copy.exists() && copy.open(QIODevice::WriteOnly))
        copy.close();
    keys::setOwnerOnly(viewCopy());
    status(QStringLiteral("Retrieving ") + item.name);
    run({item}, QStringLiteral("View"), After::Nothing,
        [this, item, items, failures](const RunSummary& summary) mutable {
            if (!summary.ok()) {
                for (const RunSummary::Failure& f : summary.failures)
                    failures << QStringLiteral("%1: %2").arg(f.name, f.reason);
                if (summary.cancelled)
                    return viewNext({}, failures);
                return viewNext(items, failures);
            }
            const dialogs::ViewerLaunch launch = m_dialogs.view(m_context.editorCommand(), viewCopy());
            if (!launch.ok)
                failures << QStringLiteral("%1: %2").arg(item.name, launch.message);
            viewNext(items, failures);
        });
}

void FileCommands::editServerFiles()
{
    if (isRunning())
        return;
    Items items = serverItems(Kind::Download);
    // A file the editor would refuse is not fetched at all: the listing knows its size.
    QStringList tooLarge;
    items.removeIf([&tooLarge](const TransferItem& item) {
        if (item.size <= dialogs::frmEdit::kMaxFileSize)
            return false;
        tooLarge << QStringLiteral("%1: %2 bytes, more than the editor opens (%3 MiB)")
                        .arg(item.name)
                        .arg(item.size)
                        .arg(dialogs::frmEdit::kMaxFileSize / (1024 * 1024));
        return true;
    });
    if (items.isEmpty()) {
        showFailures(QStringLiteral("Edit"), tooLarge);
        return;
    }
    // Each edit copy keeps the shown name, in a directory of its own under tmp/, so a file of
    // the same name already in tmp/ is never overwritten.
    QDir().mkpath(workDir());
    QTemporaryDir dir(workDir() + QStringLiteral("edit-XXXXXX"));
    if (!dir.isValid()) {
        showFailures(QStringLiteral("Edit"), {QStringLiteral("The working directory %1 cannot be used: %2")
                                                  .arg(workDir(), dir.errorString())});
        return;
    }
    dir.setAutoRemove(false);
    keys::setOwnerOnlyDir(dir.path());
    editNext(std::move(items), std::make_shared<QString>(dir.path()), tooLarge);
}

void FileCommands::editNext(Items items, std::shared_ptr<QString> copyDir, QStringList failures)
{
    if (items.isEmpty()) {
        QDir(*copyDir).removeRecursively();
        status(kReady);
        showFailures(QStringLiteral("Edit"), failures);
        return;
    }
    TransferItem fetch = items.takeFirst();
    const QString name = fetch.name;
    const QString copy = *copyDir + u'/' + name;
    fetch.localPath = copy;
    // Sent back under the server's own bytes for the name, not the copy's local name.
    TransferItem replace{Kind::Upload, name, copy};
    replace.rawName = fetch.rawName;
    auto noteFailures = [](QStringList& list, const RunSummary& summary) {
        for (const RunSummary::Failure& f : summary.failures)
            list << QStringLiteral("%1: %2").arg(f.name, f.reason);
    };
    status(QStringLiteral("Retrieving ") + name);
    run({fetch}, QStringLiteral("Edit"), After::Nothing,
        [=, this](const RunSummary& fetched) mutable {
            if (!fetched.ok()) {
                noteFailures(failures, fetched);
                QFile::remove(copy);
                return editNext(fetched.cancelled ? Items() : items, copyDir, failures);
            }
            QFile::setPermissions(copy, QFile::ReadOwner | QFile::WriteOwner);
            status(QStringLiteral("Now Edit") + name);
            // Only a file the editor saved goes back: closed unsaved, or refused, the server's
            // file stays as it is.
            if (!m_dialogs.edit(m_context.window, copy)) {
                QFile::remove(copy);
                return editNext(items, copyDir, failures);
            }
            status(QStringLiteral("Replacing ") + name);
            run({replace}, QStringLiteral("Edit"), After::Nothing,
                [=, this](const RunSummary& replaced) mutable {
                    noteFailures(failures, replaced);
                    QFile::remove(copy);
                    editNext(replaced.cancelled ? Items() : items, copyDir, failures);
                });
        });
}

// ---- LocalFiles -----------------------------------------------------------------------------

void FileCommands::editLocalFiles()
{
    for (const QString& path : m_context.local.selectedFilePaths())
        m_dialogs.edit(m_context.window, path);
}

void FileCommands::viewLocalFiles()
{
    QStringList failures;
    for (const QString& path : m_context.local.selectedFilePaths()) {
        const dialogs::ViewerLaunch launch = m_dialogs.view(m_context.editorCommand(), path);
        if (!launch.ok)
            failures << QStringLiteral("%1: %2").arg(QFileInfo(path).fileName(), launch.message);
    }
    status(kReady);
    showFailures(QStringLiteral("View"), failures);
}

void FileCommands::filterLocalFiles()
{
    const QString filter = m_dialogs.askFilter(m_context.window, m_context.local.fileNames());
    if (!filter.isEmpty())
        m_context.local.loadLocalFiles(filter);
}

}  // namespace zephra::app
