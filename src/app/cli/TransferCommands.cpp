// get and put of zephraftp-cli: one file, several into a directory, or a tree with -r, over one
// login of either route, through the same transfer code as the window (transfer::RemoteRoute).
#include "app/cli/FtpCommon.h"
#include "app/cli/ProgressLine.h"

#include "crypto/PosixIo.h"
#include "crypto/sealed/KeyRing.h"
#include "ftp/Connection.h"
#include "ftp/Listing.h"
#include "ftp/Url.h"

#include <QBuffer>
#include <QDir>
#include <QDirIterator>
#include <QFileInfo>
#include <QScopeGuard>
#include <algorithm>
#include <optional>
#include <thread>

namespace zephra::cli::ftpcli {

namespace {

using ftp::Connection;
using ftp::Result;
namespace direct = ftp::direct;

// What get and put do, with the key when they are ciphered.
struct Transfer {
    bool upload = false;
    QString localPath;
    std::shared_ptr<const crypto::Cipher> cipher;
    bool showProgress = false;  // a terminal on stderr and no --quiet
    bool resume = false;        // --continue
    transfer::SealedOptions sealed;  // get: both formats, told by the header; put: the format
};

// One step of get or put: a file (the server's path and the local file), a directory the
// server is to make (put -r), or a server directory whose tree is fetched (get -r). Server paths
// are the server's bytes (ftp::FtpUrl::rawPath, a listing's rawName).
struct Job {
    enum class Kind { File, MakeRemoteDirectory, RemoteTree };
    QByteArray remotePath;
    QString localPath;
    Kind kind = Kind::File;
};

// One entry of a server directory, as either route lists it.
struct RemoteEntry {
    QString name;        // as shown, and the local file's name
    QByteArray rawName;  // the server's bytes
    bool isDirectory = false;
    bool isLink = false;
    qint64 size = -1;    // -1: the listing gave none
};
using Lister = std::function<std::optional<QList<RemoteEntry>>(const QByteArray& directory, QString* why)>;

// A tree is bounded, whatever the server lists: so deep, so many entries.
constexpr int kMaxTreeDepth = 64;
constexpr int kMaxTreeEntries = 1000000;

QString localWithoutTrailingSlash(QString path)
{
    while (path.size() > 1 && path.endsWith(u'/'))
        path.chop(1);
    return path;
}

QByteArray joined(const QByteArray& directory, const QByteArray& name)
{
    return directory.isEmpty() || directory.endsWith('/') ? directory + name : directory + '/' + name;
}

// The failures of a run of jobs: one line each ("get: NAME: why" when there are several, else
// "get: why"), and the exit status of the first.
class FailureLines {
public:
    FailureLines(QString command, bool several) : m_command(std::move(command)), m_several(several) {}
    void add(const QString& name, const QString& why, Exit exit)
    {
        fail(m_several ? QStringLiteral("%1: %2: %3").arg(m_command, name, why) : QStringLiteral("%1: %2").arg(m_command, why), exit);
        if (m_status == 0)
            m_status = int(exit);
    }
    void add(const QString& name, const transfer::Outcome& outcome)
    {
        add(name, outcome.text(), outcome.cancelled ? Exit::Interrupted : exitFor(outcome.kind, false));
    }
    int status() const { return m_status; }

private:
    QString m_command;
    bool m_several = false;
    int m_status = 0;
};


// --continue: the byte a file's transfer starts at. A download continues the local file; an
// upload the server's copy, measured in its directory's listing (none there: from the start).
// nullopt, with the reason, when that cannot be told or the copy is longer than the file.
std::optional<qint64> continueFrom(const Transfer& t, const Placed& placed, const Lister& list, QString* why)
{
    if (!t.upload) {
        const QFileInfo local(t.localPath);
        return local.isFile() ? local.size() : 0;
    }
    const std::optional<QList<RemoteEntry>> entries = list(placed.directory, why);
    if (!entries) {
        *why = QStringLiteral("cannot tell how much the server holds: %1").arg(*why);
        return std::nullopt;
    }
    for (const RemoteEntry& entry : *entries) {
        if (entry.rawName != placed.name || entry.isDirectory)
            continue;
        qint64 size = QFileInfo(t.localPath).size();
        // A sealed upload's copy is as long as the sealed file at most (its header and tags).
        if (t.cipher && t.sealed.sealUploads)
            size = qint64(crypto::sealed::sealedSize(quint64(size)));
        if (entry.size < 0) {
            *why = QStringLiteral("cannot tell how much the server holds: its listing gives no size");
            return std::nullopt;
        }
        if (entry.size > size) {
            *why = QStringLiteral("the server's copy (%1 bytes) is longer than %2 (%3 bytes)")
                       .arg(entry.size)
                       .arg(t.localPath)
                       .arg(size);
            return std::nullopt;
        }
        return entry.size;
    }
    return 0;
}

transfer::Outcome runTransfer(transfer::RemoteRoute& route, const Transfer& t, const QByteArray& name, qint64 from = 0)
{
    ProgressLine line(t.upload ? QFileInfo(t.localPath).fileName() : ftp::decodeServerName(name), t.showProgress);
    const auto link = QObject::connect(&route, &transfer::RemoteRoute::progress, &route,
                                       [&line](qint64 done, qint64 total) { line.update(done, total); });
    const auto unlink = qScopeGuard([&] { QObject::disconnect(link); });
    route.setSealedOptions(t.sealed);
    return await(route, [&] {
        if (t.upload && t.cipher)
            route.uploadEncrypted(t.localPath, name, t.cipher, from);
        else if (t.upload)
            route.upload(t.localPath, name, from);
        else if (t.cipher)
            route.downloadDecrypted(name, t.localPath, t.cipher, from);
        else
            route.download(name, t.localPath, from);
    });
}

// The jobs with every RemoteTree replaced by the files under it, its local directories made.
// A name the server lists that cannot be a local name ("..", "a/b", control characters) is
// refused and reported, so nothing is written outside the target directory; links are not
// followed.
QList<Job> expandTrees(const QList<Job>& jobs, const Lister& list, FailureLines& failures)
{
    QList<Job> out;
    int entries = 0;
    std::function<void(const QByteArray&, const QString&, int)> walk = [&](const QByteArray& remote, const QString& local, int depth) {
        if (!QDir().mkpath(local)) {
            failures.add(local, QStringLiteral("cannot make the directory %1").arg(local), Exit::LocalFile);
            return;
        }
        QString why;
        const std::optional<QList<RemoteEntry>> listed = list(remote, &why);
        if (!listed) {
            failures.add(ftp::decodeServerName(place(withoutTrailingSlash(remote)).name), why, Exit::Refused);
            return;
        }
        for (const RemoteEntry& entry : *listed) {
            if (entry.name == QLatin1String(".") || entry.name == QLatin1String(".."))
                continue;
            if (++entries > kMaxTreeEntries || interrupted())
                return;
            if (!ftp::isSafeLocalName(entry.name)) {
                failures.add(printable(entry.name), QStringLiteral("refused: the server's name cannot be a local file name"),
                             Exit::Failure);
                continue;
            }
            if (entry.isLink)
                continue;
            if (entry.isDirectory) {
                if (depth < kMaxTreeDepth)
                    walk(joined(remote, entry.rawName), local + u'/' + entry.name, depth + 1);
                continue;
            }
            out.append({joined(remote, entry.rawName), local + u'/' + entry.name, Job::Kind::File});
        }
    };
    for (const Job& job : jobs) {
        if (job.kind == Job::Kind::RemoteTree)
            walk(withoutTrailingSlash(job.remotePath), job.localPath, 0);
        else
            out.append(job);
    }
    return out;
}

// Runs the jobs one after another over one login of the direct route.
int runTransfersDirect(const GlobalOptions& options, const QString& command, const ftp::FtpUrl& url,
                       const QList<Job>& jobs, const Transfer& shape, FailureLines& failures)
{
    direct::DirectOptions directOptions;
    directOptions.connectTimeoutMs = options.timeoutMs;
    directOptions.replyTimeoutMs = options.timeoutMs;
    directOptions.stallTimeoutMs = options.timeoutMs;
    directOptions.active = options.active;
    directOptions.tls = tlsFor(options, url);
    direct::DirectWorker worker(directOptions);
    traceProtocol(worker, options);
    const direct::DirectResult opened = await(worker, [&] {
        return worker.open(url.host, url.port, url.user, url.password, QStringLiteral("zephraftp-cli"));
    });
    if (isTlsFailure(opened))
        return failTls(command, opened.message, opened.certificate);
    if (opened.ok())
        warnIfPlain(directOptions.tls, url.host, worker.isTlsActive());
    if (!opened.ok())
        return fail(QStringLiteral("%1: %2").arg(command, opened.message), exitFor(transfer::failureOf(opened), true));
    const Lister list = [&worker](const QByteArray& directory, QString* why) -> std::optional<QList<RemoteEntry>> {
        QList<direct::DirectEntry> entries;
        const direct::DirectResult r = await(worker, [&] { return worker.list(directory); }, &entries);
        if (!r.ok()) {
            *why = r.message;
            return std::nullopt;
        }
        QList<RemoteEntry> out;
        for (const direct::DirectEntry& e : entries)
            out.append({e.name, e.rawName, e.isDirectory, e.isLink, e.size});
        return out;
    };
    for (const Job& job : expandTrees(jobs, list, failures)) {
        if (interrupted())
            break;
        // The route names files by their path in the job's directory (relative ones from the
        // login directory).
        const Placed placed = place(job.remotePath);
        const std::unique_ptr<transfer::RemoteRoute> route = transfer::makeDirectRoute(worker, placed.directory);
        if (job.kind == Job::Kind::MakeRemoteDirectory) {
            // One that exists already is fine; one that could not be made fails its files.
            (void)await(*route, [&] { route->makeDirectory(placed.name); });
            continue;
        }
        Transfer t = shape;
        t.localPath = job.localPath;
        QString why;
        const std::optional<qint64> from = t.resume ? continueFrom(t, placed, list, &why) : 0;
        if (!from) {
            failures.add(ftp::decodeServerName(placed.name), why, Exit::Failure);
            continue;
        }
        const transfer::Outcome outcome = runTransfer(*route, t, placed.name, *from);
        if (!outcome.ok)
            failures.add(ftp::decodeServerName(placed.name), outcome);
        if (outcome.cancelled)
            break;
    }
    (void)await(worker, [&] { return worker.close(); });
    return failures.status();
}

// The same over one login of the engine route: each job's directory is changed into (taken from
// the login directory), and the job's route is made for the directory the server confirmed.
int runTransfersEngine(const GlobalOptions& options, const QString& command, const ftp::FtpUrl& url,
                       const QList<Job>& jobs, const Transfer& shape, FailureLines& failures)
{
    Connection connection;
    connection.setTimeOut(options.timeoutMs);
    connection.setConnectionMode(options.active ? QStringLiteral("PORT") : QStringLiteral("PASV"));
    traceProtocol(connection, options);
    const ftp::TlsOptions tls = tlsFor(options, url);
    connection.setTlsOptions(tls);
    Result result = await(connection, [&] {
        connection.Connect(url.host, QString::number(url.port), url.user, url.password);
    });
    if (isTlsFailure(result))
        return failTls(command, textOf(result), connection.peerCertificate());
    if (!result.ok())
        return failWith(command, result, true);
    warnIfPlain(tls, url.host, connection.isTlsActive());
    result = await(connection, [&] { connection.TransferType(0); });
    if (!result.ok())
        return failWith(command, result);
    // Several jobs may name different directories relative to the login directory (the login's
    // PWD reply; empty when the server did not say).
    const QByteArray loginDirectory = connection.currentDirectory();

    std::optional<QByteArray> current = QByteArray();  // the directory we are in; empty: the login directory
    const auto enter = [&](const QByteArray& directory) {
        if (current == directory)
            return Result();
        QByteArray to = directory;
        if (!to.startsWith('/') && !loginDirectory.isEmpty())
            to = to.isEmpty() ? loginDirectory : joined(loginDirectory, to);
        if (to.isEmpty())
            to = ".";
        const Result r = await(connection, [&] { connection.ChangeDirectory(to); });
        if (r.ok())
            current = directory;
        else
            current.reset();
        return r;
    };
    const Lister list = [&](const QByteArray& directory, QString* why) -> std::optional<QList<RemoteEntry>> {
        Result r = enter(directory);
        QBuffer listing;
        listing.open(QIODevice::WriteOnly);
        if (r.ok())
            r = await(connection, [&] { connection.ListContents(&listing); });
        if (!r.ok()) {
            *why = textOf(r);
            return std::nullopt;
        }
        QList<RemoteEntry> out;
        for (const ftp::ListingEntry& e : ftp::parseListing(listing.data()))
            out.append({e.name, e.rawName, e.isDirectory, e.isSymLink, e.size});
        return out;
    };
    const QList<Job> expanded = expandTrees(jobs, list, failures);
    for (const Job& job : expanded) {
        if (interrupted() || !connection.isLoggedIn())
            break;
        const Placed placed = place(job.remotePath);
        result = enter(placed.directory);
        if (!result.ok()) {
            failures.add(ftp::decodeServerName(placed.name), textOf(result), exitFor(transfer::failureOf(result), false));
            continue;
        }
        const std::unique_ptr<transfer::RemoteRoute> route =
            transfer::makeEngineRoute(connection, connection.currentDirectory());
        if (job.kind == Job::Kind::MakeRemoteDirectory) {
            // One that exists already is fine; one that could not be made fails its files.
            (void)await(*route, [&] { route->makeDirectory(placed.name); });
            continue;
        }
        Transfer t = shape;
        t.localPath = job.localPath;
        QString why;
        const std::optional<qint64> from = t.resume ? continueFrom(t, placed, list, &why) : 0;
        if (!from) {
            failures.add(ftp::decodeServerName(placed.name), why, Exit::Failure);
            continue;
        }
        const transfer::Outcome outcome = runTransfer(*route, t, placed.name, *from);
        if (!outcome.ok)
            failures.add(ftp::decodeServerName(placed.name), outcome);
        if (outcome.cancelled)
            break;
    }
    if (connection.isLoggedIn())
        (void)await(connection, [&] { connection.Disconnect(); });
    return failures.status();
}

}  // namespace

// get URL... LOCAL and put LOCAL... URL: one file to a file, or any number into a directory
// (a destination ending in "/"). Every failed file is one line; the others still move.
int runTransferCommand(const GlobalOptions& options, const QString& command, const QStringList& args,
                       bool ciphered, const KeyOptions& keyOptions, bool quiet)
{
    const bool upload = command == QLatin1String("put");
    const QString usage = upload ? QStringLiteral("usage: zephraftp-cli [options] put [--quiet] [--continue] [--encrypt [--format compatible|sealed] KEYOPTIONS] LOCALFILE... URL (URL ends in / for several)")
                                 : QStringLiteral("usage: zephraftp-cli [options] get [--quiet] [--continue] [--decrypt KEYOPTIONS] URL... LOCALFILE (a directory ending in / for several)");
    QStringList positional = args;
    // put --encrypt --format: compatible (as earlier versions, the default) or sealed.
    bool sealUploads = false;
    if (const qsizetype at = positional.indexOf(QStringLiteral("--format")); at >= 0) {
        const QString value = positional.value(at + 1);
        positional.remove(at, std::min<qsizetype>(2, positional.size() - at));
        if (value != QLatin1String("compatible") && value != QLatin1String("sealed"))
            return usageError(QStringLiteral("put: --format must be compatible or sealed"));
        if (!ciphered)
            return usageError(QStringLiteral("put: --format is for --encrypt only"));
        sealUploads = value == QLatin1String("sealed");
    }
    const bool recursive = positional.removeAll(QStringLiteral("-r")) > 0;
    const bool resume = positional.removeAll(QStringLiteral("--continue")) > 0;
    if (positional.size() < 2)
        return usageError(usage);
    const QString destination = positional.last();
    const QStringList sources = positional.mid(0, positional.size() - 1);
    const bool intoDirectory = destination.endsWith(u'/');
    if (recursive && !intoDirectory)
        return usageError(QStringLiteral("%1 -r: a tree goes into a directory; end %2 with /").arg(command, destination));
    if (sources.size() > 1 && !intoDirectory)
        return usageError(QStringLiteral("%1: several files go into a directory; end %2 with /").arg(command, destination));

    QString error;
    QList<Job> jobs;
    std::optional<ftp::FtpUrl> login;
    QString loginText;
    if (upload) {
        login = ftp::parseFtpUrl(destination, &error);
        if (!login)
            return usageError(error);
        loginText = destination;
        for (const QString& file : sources) {
            // Local names go as their own bytes.
            QByteArray path = login->rawPath;
            const QFileInfo info(file);
            if (path.isEmpty() || path.endsWith('/'))
                path += QFile::encodeName(info.fileName().isEmpty() ? QDir(file).dirName() : info.fileName());
            if (!recursive || !info.isDir()) {
                jobs.append({path, file});
                continue;
            }
            // The tree's directories first, parents before their children, then its files.
            jobs.append({path, QString(), Job::Kind::MakeRemoteDirectory});
            QStringList directories;
            QList<Job> files;
            const QDir root(file);
            QDirIterator it(file, QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::NoSymLinks,
                            QDirIterator::Subdirectories);
            while (it.hasNext()) {
                const QString local = it.next();
                const QString relative = root.relativeFilePath(local);
                if (it.fileInfo().isDir())
                    directories.append(relative);
                else
                    files.append({path + '/' + QFile::encodeName(relative), local});
            }
            directories.sort();
            for (const QString& d : directories)
                jobs.append({path + '/' + QFile::encodeName(d), QString(), Job::Kind::MakeRemoteDirectory});
            jobs += files;
        }
    } else {
        for (const QString& text : sources) {
            std::optional<ftp::FtpUrl> url = ftp::parseFtpUrl(text, &error);
            if (!url)
                return usageError(error);
            if (!login) {
                login = url;
                loginText = text;
            } else if (url->host != login->host || url->port != login->port || url->user != login->user) {
                return usageError(QStringLiteral("get: all addresses must name the same server and user"));
            }
            const QByteArray& path = url->rawPath;
            const QString name = ftp::decodeServerName(place(withoutTrailingSlash(path)).name);
            if (recursive) {
                if (!ftp::isSafeLocalName(name) && !withoutTrailingSlash(path).isEmpty())
                    return usageError(QStringLiteral("get: %1 cannot be a local file name").arg(printable(name)));
                // The login directory itself has no name of its own: its files go into DIR.
                const bool whole = withoutTrailingSlash(path).isEmpty() || path == "/";
                jobs.append({path, whole ? localWithoutTrailingSlash(destination) : destination + name, Job::Kind::RemoteTree});
                continue;
            }
            if (path.isEmpty() || path.endsWith('/'))
                return usageError(QStringLiteral("get: %1 names no file").arg(text));
            if (intoDirectory && !ftp::isSafeLocalName(name))
                return usageError(QStringLiteral("get: %1 cannot be a local file name").arg(printable(name)));
            jobs.append({path, intoDirectory ? destination + name : destination});
        }
        const QString localDirectory = intoDirectory ? destination : QFileInfo(destination).absolutePath();
        if (intoDirectory && !QFileInfo(destination).isDir())
            return fail(QStringLiteral("get: %1 is not a directory").arg(destination), Exit::LocalFile);
        // What an earlier, killed download left beside its destination goes first.
        (void)crypto::removeStaleTemporaries(QFile::encodeName(QFileInfo(localDirectory).absoluteFilePath()).toStdString());
    }
    for (const Job& job : jobs) {
        if (job.kind == Job::Kind::File && (withoutTrailingSlash(job.remotePath).isEmpty() || job.remotePath.endsWith('/')))
            return usageError(QStringLiteral("%1: the address names no file").arg(command));
    }
    if (!completeLogin(loginText, &*login, options, &error))
        return fail(error, Exit::LocalFile);

    // Transfers catch Ctrl-C, so they stop cleanly: nothing half-written stays on this side.
    InterruptGuard interrupts;
    Transfer shape{upload, QString(), {}, !quiet && ProgressLine::stderrIsTerminal(), resume};
    // The key is checked before any network traffic.
    if (ciphered) {
        Exit why = Exit::Failure;
        const std::optional<std::string> key = resolveKey(keyOptions, command, &error, &why);
        if (!key)
            return fail(QStringLiteral("%1: %2").arg(command, error), why);
        shape.cipher = makeCipher(*key, &error);
        if (!shape.cipher)
            return fail(QStringLiteral("%1: %2").arg(command, error));
        // The sealed format's keys: for get the master key is derived when a sealed file first
        // arrives (with the costs its header names); for a sealed put on a thread of its own
        // while the login runs (the first sealing waits for it).
        const crypto::Status keys = crypto::sealed::KeyRing::create(*key, shape.sealed.keys);
        if (!keys.ok())
            return fail(QStringLiteral("%1: %2").arg(command, QString::fromStdString(keys.message)));
        shape.sealed.sealUploads = sealUploads;
    }
    std::thread kdf;
    if (shape.sealed.sealUploads) {
        kdf = std::thread([keys = shape.sealed.keys] { (void)keys->prepare(); });  // a failure shows in the upload
    }
    const auto joinKdf = qScopeGuard([&] {
        if (kdf.joinable())
            kdf.join();
    });
    FailureLines failures(command, jobs.size() > 1 || recursive);
    if (options.route == QLatin1String("direct"))
        return runTransfersDirect(options, command, *login, jobs, shape, failures);
    return runTransfersEngine(options, command, *login, jobs, shape, failures);
}

}  // namespace zephra::cli::ftpcli
