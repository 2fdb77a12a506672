// get and put of zephraftp-cli: one file, several into a directory, or a tree with -r, over one
// login of either route, through the same transfer code as the window (transfer::RemoteRoute).
#include "app/cli/FtpCommon.h"
#include "app/cli/ProgressLine.h"

#include "crypto/PosixIo.h"
#include "ftp/Connection.h"
#include "ftp/Listing.h"
#include "ftp/Url.h"

#include <QFileInfo>
#include <QScopeGuard>
#include <optional>

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
};

// One file of get or put: the server's path and the local file.
struct Job {
    QString remotePath;
    QString localPath;
};

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


transfer::Outcome runTransfer(transfer::RemoteRoute& route, const Transfer& t, const QString& name)
{
    ProgressLine line(t.upload ? QFileInfo(t.localPath).fileName() : name, t.showProgress);
    const auto link = QObject::connect(&route, &transfer::RemoteRoute::progress, &route,
                                       [&line](qint64 done, qint64 total) { line.update(done, total); });
    const auto unlink = qScopeGuard([&] { QObject::disconnect(link); });
    return await(route, [&] {
        if (t.upload && t.cipher)
            route.uploadEncrypted(t.localPath, name, t.cipher);
        else if (t.upload)
            route.upload(t.localPath, name);
        else if (t.cipher)
            route.downloadDecrypted(name, t.localPath, t.cipher);
        else
            route.download(name, t.localPath);
    });
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
    direct::DirectWorker worker(directOptions);
    const direct::DirectResult opened = await(worker, [&] {
        return worker.open(url.host, url.port, url.user, url.password, QStringLiteral("zephraftp-cli"));
    });
    if (!opened.ok())
        return fail(QStringLiteral("%1: %2").arg(command, opened.message), exitFor(transfer::failureOf(opened), true));
    for (const Job& job : jobs) {
        if (interrupted())
            break;
        const Placed placed = place(job.remotePath);
        const std::unique_ptr<transfer::RemoteRoute> route = transfer::makeDirectRoute(worker, placed.directory);
        Transfer t = shape;
        t.localPath = job.localPath;
        const transfer::Outcome outcome = runTransfer(*route, t, placed.name);
        if (!outcome.ok)
            failures.add(placed.name, outcome);
        if (outcome.cancelled)
            break;
    }
    (void)await(worker, [&] { return worker.close(); });
    return failures.status();
}

// The same over one login of the engine route, which works in the server's current directory
// with bare names: each job's directory is changed into, taken from the login directory.
int runTransfersEngine(const GlobalOptions& options, const QString& command, const ftp::FtpUrl& url,
                       const QList<Job>& jobs, const Transfer& shape, FailureLines& failures)
{
    Connection connection;
    connection.setTimeOut(options.timeoutMs);
    connection.setConnectionMode(options.active ? QStringLiteral("PORT") : QStringLiteral("PASV"));
    Result result = await(connection, [&] {
        connection.Connect(url.host, QString::number(url.port), url.user, url.password);
    });
    if (!result.ok())
        return failWith(command, result, true);
    result = await(connection, [&] { connection.TransferType(0); });
    if (!result.ok())
        return failWith(command, result);
    // Several jobs may name different directories relative to the login directory.
    QString loginDirectory;
    if (jobs.size() > 1 && await(connection, [&] { connection.PrintDirectory(); }).ok())
        loginDirectory = QString::fromUtf8(connection.currentDirectory());

    const std::unique_ptr<transfer::RemoteRoute> route = transfer::makeEngineRoute(connection);
    std::optional<QString> current = QString();  // the directory we are in; empty: the login directory
    for (const Job& job : jobs) {
        if (interrupted() || !connection.isLoggedIn())
            break;
        const Placed placed = place(job.remotePath);
        if (current != placed.directory) {
            QString to = placed.directory;
            if (!to.startsWith(u'/') && !loginDirectory.isEmpty())
                to = to.isEmpty() ? loginDirectory
                                  : loginDirectory + (loginDirectory.endsWith(u'/') ? QString() : QStringLiteral("/")) + to;
            if (to.isEmpty())
                to = QStringLiteral(".");
            result = await(connection, [&] { connection.ChangeDirectory(to); });
            if (!result.ok()) {
                failures.add(placed.name, textOf(result), exitFor(transfer::failureOf(result), false));
                current.reset();
                continue;
            }
            current = placed.directory;
        }
        Transfer t = shape;
        t.localPath = job.localPath;
        const transfer::Outcome outcome = runTransfer(*route, t, placed.name);
        if (!outcome.ok)
            failures.add(placed.name, outcome);
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
    const QString usage = upload ? QStringLiteral("usage: zephraftp-cli [options] put [--quiet] [--encrypt KEYOPTIONS] LOCALFILE... URL (URL ends in / for several)")
                                 : QStringLiteral("usage: zephraftp-cli [options] get [--quiet] [--decrypt KEYOPTIONS] URL... LOCALFILE (a directory ending in / for several)");
    if (args.size() < 2)
        return usageError(usage);
    const QString destination = args.last();
    const QStringList sources = args.mid(0, args.size() - 1);
    const bool intoDirectory = destination.endsWith(u'/');
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
            QString path = login->path;
            if (path.isEmpty() || path.endsWith(u'/'))
                path += QFileInfo(file).fileName();
            jobs.append({path, file});
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
            const QString name = place(url->path).name;
            if (url->path.isEmpty() || url->path.endsWith(u'/'))
                return usageError(QStringLiteral("get: %1 names no file").arg(text));
            if (intoDirectory && !ftp::isSafeLocalName(name))
                return usageError(QStringLiteral("get: %1 cannot be a local file name").arg(printable(name)));
            jobs.append({url->path, intoDirectory ? destination + name : destination});
        }
        const QString localDirectory = intoDirectory ? destination : QFileInfo(destination).absolutePath();
        if (intoDirectory && !QFileInfo(destination).isDir())
            return fail(QStringLiteral("get: %1 is not a directory").arg(destination), Exit::LocalFile);
        // What an earlier, killed download left beside its destination goes first.
        (void)crypto::removeStaleTemporaries(QFile::encodeName(QFileInfo(localDirectory).absoluteFilePath()).toStdString());
    }
    for (const Job& job : jobs) {
        if (withoutTrailingSlash(job.remotePath).isEmpty() || job.remotePath.endsWith(u'/'))
            return usageError(QStringLiteral("%1: the address names no file").arg(command));
    }
    if (!completeLogin(loginText, &*login, options, &error))
        return fail(error, Exit::LocalFile);

    // Transfers catch Ctrl-C, so they stop cleanly: nothing half-written stays on this side.
    InterruptGuard interrupts;
    Transfer shape{upload, QString(), {}, !quiet && ProgressLine::stderrIsTerminal()};
    // The key is checked before any network traffic.
    if (ciphered) {
        const std::optional<std::string> key = resolveKey(keyOptions, command, &error);
        if (!key)
            return fail(QStringLiteral("%1: %2").arg(command, error));
        shape.cipher = makeCipher(*key, &error);
        if (!shape.cipher)
            return fail(QStringLiteral("%1: %2").arg(command, error));
    }
    FailureLines failures(command, jobs.size() > 1);
    if (options.route == QLatin1String("direct"))
        return runTransfersDirect(options, command, *login, jobs, shape, failures);
    return runTransfersEngine(options, command, *login, jobs, shape, failures);
}

}  // namespace zephra::cli::ftpcli
