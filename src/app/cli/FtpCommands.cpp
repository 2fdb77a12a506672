// The FTP commands of zephraftp-cli on either route: ls, get, put, mkdir, rmdir, rm, mv.
// get and put (with --decrypt / --encrypt or without) run through the same transfer code as the
// window (transfer::RemoteRoute), so both follow one rule: an upload goes to the file's own name
// and a failed one says what the server now holds; a download replaces LOCALFILE only when
// complete, keeping its permission bits. The encrypted ones stream the file through the cipher on
// its way (no working copy on disk): the server receives exactly what "encrypt" writes, and the
// local file is what "decrypt" writes.
#include "app/cli/CliCommon.h"
#include "app/cli/FtpCommon.h"

#include "ftp/Connection.h"
#include "ftp/Listing.h"
#include "crypto/PosixIo.h"
#include "ftp/Url.h"
#include "ftp/direct/DirectWorker.h"
#include "transfer/RemoteRoute.h"

#include <QBuffer>
#include <QEventLoop>
#include <QFileInfo>
#include <QScopeGuard>
#include <QTimer>
#include <cstdio>
#include <optional>

namespace zephra::cli {

namespace ftpcli {

using ftp::Connection;
using ftp::Result;
namespace direct = ftp::direct;

struct CommandShape {
    const char* name;
    int arguments;
    const char* usage;
};

constexpr CommandShape kCommands[] = {
    {"ls", 1, "ls URL"},
    {"get", -1, "get [--quiet] [--continue] [--decrypt (--key KEY | --key-name NAME [--home DIR])] URL... LOCALFILE|DIR/"},
    {"put", -1, "put [--quiet] [--continue] [--encrypt [--format compatible|sealed] (--key KEY | --key-name NAME [--home DIR])] LOCALFILE... URL"},
    {"mkdir", 1, "mkdir URL"},
    {"rmdir", 1, "rmdir URL"},
    {"rm", 1, "rm URL"},
    {"mv", 2, "mv URL NEWNAME"},
};

const CommandShape* findCommand(const QString& command)
{
    for (const CommandShape& shape : kCommands) {
        if (command == QLatin1String(shape.name))
            return &shape;
    }
    return nullptr;
}

// Runs one engine operation to its end; the engine reports every wait's end itself (TimeOut).
Result await(Connection& connection, const std::function<void()>& operation)
{
    Result result;
    QEventLoop loop;
    const auto link = QObject::connect(&connection, &Connection::finished, &loop, [&](const Result& r) {
        result = r;
        loop.quit();
    });
    operation();
    loop.exec();
    QObject::disconnect(link);
    return result;
}

// Runs one operation of the direct route's worker to its end (bounded by the session's
// time-outs); entries, when given, receives a listing.
direct::DirectResult await(direct::DirectWorker& worker, const std::function<quint64()>& operation,
                           QList<direct::DirectEntry>* entries)
{
    direct::DirectResult result;
    quint64 id = 0;
    QEventLoop loop;
    const auto listed = QObject::connect(&worker, &direct::DirectWorker::listed, &loop,
                                         [&](quint64 op, const QList<direct::DirectEntry>& list) {
                                             if (op == id && entries)
                                                 *entries = list;
                                         });
    const auto done = QObject::connect(&worker, &direct::DirectWorker::finished, &loop,
                                       [&](quint64 op, const direct::DirectResult& r) {
                                           if (op != id)
                                               return;
                                           result = r;
                                           loop.quit();
                                       });
    id = operation();
    loop.exec();
    QObject::disconnect(listed);
    QObject::disconnect(done);
    return result;
}

// Runs one transfer of the route to its end; Ctrl-C cancels it, so a download's temporary file
// goes and an upload's report says what the server holds.
transfer::Outcome await(transfer::RemoteRoute& route, const std::function<void()>& operation)
{
    transfer::Outcome outcome;
    QEventLoop loop;
    QObject::connect(&route, &transfer::RemoteRoute::finished, &loop, [&](const transfer::Outcome& o) {
        outcome = o;
        loop.quit();
    });
    QTimer interruptWatch;
    QObject::connect(&interruptWatch, &QTimer::timeout, &route, [&route] {
        if (interrupted())
            route.cancel();
    });
    interruptWatch.start(50);
    operation();
    loop.exec();
    return outcome;
}

// The exit status of a failure of either route. While connecting and logging in, a time-out or
// a broken connection means the server could not be reached, and the engine's refusal a refused
// login (its only refusal there is "530 Login incorrect.").
Exit exitFor(transfer::Outcome::Failure kind, bool connecting)
{
    using Failure = transfer::Outcome::Failure;
    switch (kind) {
    case Failure::None: return Exit::Success;
    case Failure::LocalFile: return Exit::LocalFile;
    case Failure::Connection: return Exit::Connection;
    case Failure::Login: return Exit::Login;
    case Failure::Refused: return connecting ? Exit::Login : Exit::Refused;
    case Failure::Broken: return connecting ? Exit::Connection : Exit::Broken;
    case Failure::Other: break;
    }
    return Exit::Failure;
}

ftp::TlsOptions tlsFor(const GlobalOptions& options, const ftp::FtpUrl& url)
{
    ftp::TlsOptions tls = options.tls;
    tls.implicit = url.implicitTls;
    return tls;
}

void warnIfPlain(const ftp::TlsOptions& tls, const QString& host, bool tlsActive)
{
    if (tls.mode == ftp::TlsMode::IfOffered && !tls.implicit && !tlsActive)
        std::fprintf(stderr, "zephraftp-cli: warning: %s does not offer TLS; the login and the data go in plain (--tls require refuses that)\n",
                     qUtf8Printable(host));
}

bool isTlsFailure(const Result& result)
{
    return result.kind == ftp::ErrorKind::Certificate || result.kind == ftp::ErrorKind::TlsRefused
           || result.kind == ftp::ErrorKind::TlsFailed;
}

bool isTlsFailure(const direct::DirectResult& result)
{
    return result.error == direct::DirectError::Certificate || result.error == direct::DirectError::TlsRefused
           || result.error == direct::DirectError::TlsHandshake;
}

int failTls(const QString& command, const QString& why, const ftp::PeerCertificate& certificate)
{
    fail(QStringLiteral("%1: %2").arg(command, why), Exit::Tls);
    if (certificate.isNull())
        return int(Exit::Tls);
    const auto line = [](const QString& text) { std::fprintf(stderr, "  %s\n", qUtf8Printable(text)); };
    line(QStringLiteral("subject: %1").arg(certificate.subject));
    line(QStringLiteral("issuer: %1").arg(certificate.issuer));
    line(QStringLiteral("valid from %1 to %2").arg(certificate.notBefore.toString(Qt::ISODate), certificate.notAfter.toString(Qt::ISODate)));
    if (!certificate.problems.isEmpty())
        line(QStringLiteral("problems: %1").arg(certificate.problems.join(QStringLiteral("; "))));
    line(QStringLiteral("SHA-256 fingerprint: %1").arg(certificate.fingerprintText()));
    line(QStringLiteral("If this is the server's certificate (ask its administrator for the fingerprint), trust it with"));
    line(QStringLiteral("  --pin-sha256 %1").arg(certificate.fingerprintText()));
    return int(Exit::Tls);
}

int failWith(const QString& command, const Result& result, bool connecting)
{
    return fail(QStringLiteral("%1: %2").arg(command, textOf(result)), exitFor(transfer::failureOf(result), connecting));
}

// Names come from the server: control characters are shown escaped, never sent to the terminal.
QString printable(const QString& name)
{
    QString out;
    out.reserve(name.size());
    for (QChar c : name) {
        if (c.unicode() < 0x20 || c.unicode() == 0x7f)
            out += QStringLiteral("\\x%1").arg(c.unicode(), 2, 16, QLatin1Char('0'));
        else
            out += c;
    }
    return out;
}

QByteArray withoutTrailingSlash(QByteArray path)
{
    while (path.size() > 1 && path.endsWith('/'))
        path.chop(1);
    return path;
}

// "d name", "- name", or "l name -> target" for a symbolic link ("l name" when the server did
// not name the target).
void printEntry(bool isDirectory, bool isLink, const QString& name, const QString& linkTarget)
{
    QByteArray line = (isLink ? "l " : isDirectory ? "d " : "- ") + printable(name).toUtf8();
    if (isLink && !linkTarget.isEmpty())
        line += " -> " + printable(linkTarget).toUtf8();
    line += '\n';
    std::fwrite(line.constData(), 1, size_t(line.size()), stdout);
}

// A bare new name stays in the source's directory.
QByteArray renameTarget(const QByteArray& path, const QByteArray& newName)
{
    const qsizetype slash = path.lastIndexOf('/');
    if (!newName.contains('/') && slash >= 0)
        return path.left(slash + 1) + newName;
    return newName;
}

Placed place(const QByteArray& path)
{
    const qsizetype slash = path.lastIndexOf('/');
    if (slash < 0)
        return {QByteArray(), path};
    return {slash == 0 ? QByteArray("/") : path.left(slash), path.mid(slash + 1)};
}

QString textOf(const Result& result)
{
    QString text = result.description;
    if (!result.serverText.isEmpty() && !text.contains(result.serverText))
        text += QStringLiteral(" (%1)").arg(result.serverText);
    return text;
}

// The direct route: one libcurl session on its worker thread, logged in at open.
int runDirect(const GlobalOptions& options, const QString& command, const QStringList& args,
              const ftp::FtpUrl& url, const QByteArray& path)
{
    direct::DirectOptions directOptions;
    directOptions.connectTimeoutMs = options.timeoutMs;
    directOptions.replyTimeoutMs = options.timeoutMs;
    directOptions.stallTimeoutMs = options.timeoutMs;
    directOptions.active = options.active;
    directOptions.tls = tlsFor(options, url);
    direct::DirectWorker worker(directOptions);
    traceProtocol(worker, options);

    auto failed = [&](const direct::DirectResult& r, bool connecting = false) {
        return fail(QStringLiteral("%1: %2").arg(command, r.message), exitFor(transfer::failureOf(r), connecting));
    };
    direct::DirectResult result = await(worker, [&] {
        return worker.open(url.host, url.port, url.user, url.password, QStringLiteral("zephraftp-cli"));
    });
    if (isTlsFailure(result))
        return failTls(command, result.message, result.certificate);
    if (!result.ok())
        return failed(result, true);
    warnIfPlain(directOptions.tls, url.host, worker.isTlsActive());

    QList<direct::DirectEntry> entries;
    if (command == QLatin1String("ls"))
        result = await(worker, [&] { return worker.list(withoutTrailingSlash(path)); }, &entries);
    else if (command == QLatin1String("mkdir"))
        result = await(worker, [&] { return worker.makeDirectory(withoutTrailingSlash(path)); });
    else if (command == QLatin1String("rmdir"))
        result = await(worker, [&] { return worker.removeDirectory(withoutTrailingSlash(path)); });
    else if (command == QLatin1String("rm"))
        result = await(worker, [&] { return worker.remove(path); });
    else if (command == QLatin1String("mv"))
        result = await(worker, [&] { return worker.rename(path, renameTarget(path, args[1].toUtf8())); });
    if (!result.ok())
        return failed(result);
    for (const direct::DirectEntry& entry : entries)
        printEntry(entry.isDirectory, entry.isLink, entry.name, entry.linkTarget);
    (void)await(worker, [&] { return worker.close(); });
    return 0;
}

}  // namespace ftpcli

using namespace ftpcli;

bool isFtpCommand(const QString& command)
{
    return findCommand(command) != nullptr;
}

int runFtpCommand(const GlobalOptions& options, const QString& command, const QStringList& arguments)
{
    const CommandShape* shape = findCommand(command);
    if (!shape)
        return usageError(QStringLiteral("unknown command %1").arg(command));
    const QString usage = QStringLiteral("usage: zephraftp-cli [options] %1").arg(QLatin1String(shape->usage));

    // put --encrypt / get --decrypt and where their key comes from.
    QStringList args = arguments;
    KeyOptions keyOptions;
    QString error;
    bool ciphered = false;
    bool quiet = options.quiet;
    const bool isTransfer = command == QLatin1String("get") || command == QLatin1String("put");
    if (isTransfer) {
        const QString flag = command == QLatin1String("put") ? QStringLiteral("--encrypt") : QStringLiteral("--decrypt");
        if (!takeKeyOptions(&args, &keyOptions, &error))
            return usageError(error);
        QStringList positional;
        for (int i = 0; i < args.size(); ++i) {
            if (args[i] == QLatin1String("--")) {
                positional += args.mid(i + 1);
                break;
            }
            if (args[i] == flag)
                ciphered = true;
            else if (args[i] == QLatin1String("--quiet"))
                quiet = true;
            else if (args[i] == QLatin1String("--continue"))
                positional += args[i];  // taken by the transfer itself
            else if (args[i] == QLatin1String("--format") && command == QLatin1String("put")) {
                positional += args.mid(i, 2);  // its value is checked by runTransferCommand
                ++i;
            }
            else if (args[i].startsWith(QLatin1String("--")))
                return usageError(QStringLiteral("%1: unknown option %2").arg(command, args[i]));
            else
                positional += args[i];
        }
        args = positional;
        if (ciphered != keyOptions.given())
            return usageError(ciphered ? QStringLiteral("%1 %2 needs --key KEY or --key-name NAME").arg(command, flag)
                                 : QStringLiteral("%1: a key is for %2 only").arg(command, flag));
    }
    if (isTransfer)
        return runTransferCommand(options, command, args, ciphered, keyOptions, quiet);
    if (args.size() != shape->arguments)
        return usageError(usage);
    const QString urlText = args[0];
    auto url = ftp::parseFtpUrl(urlText, &error);
    if (!url)
        return usageError(error);
    if (!completeLogin(urlText, &*url, options, &error))
        return fail(error, Exit::LocalFile);
    // The path's bytes as the server gets them: "caf%E9.txt" is the Latin-1 name.
    const QByteArray path = url->rawPath;
    if (command != QLatin1String("ls") && withoutTrailingSlash(path).isEmpty())
        return usageError(QStringLiteral("%1: the address names no file or directory").arg(command));

    if (options.route == QLatin1String("direct"))
        return runDirect(options, command, args, *url, path);

    Connection connection;
    connection.setTimeOut(options.timeoutMs);
    connection.setConnectionMode(options.active ? QStringLiteral("PORT") : QStringLiteral("PASV"));
    traceProtocol(connection, options);
    const ftp::TlsOptions tls = tlsFor(options, *url);
    connection.setTlsOptions(tls);

    Result result = await(connection, [&] {
        connection.Connect(url->host, QString::number(url->port), url->user, url->password);
    });
    if (isTlsFailure(result))
        return failTls(command, textOf(result), connection.peerCertificate());
    if (!result.ok())
        return failWith(command, result, true);
    warnIfPlain(tls, url->host, connection.isTlsActive());
    result = await(connection, [&] { connection.TransferType(0); });
    if (!result.ok())
        return failWith(command, result);

    QBuffer listing;
    if (command == QLatin1String("ls")) {
        if (!path.isEmpty())
            result = await(connection, [&] { connection.ChangeDirectory(withoutTrailingSlash(path)); });
        if (result.ok()) {
            listing.open(QIODevice::WriteOnly);
            result = await(connection, [&] { connection.ListContents(&listing); });
        }
    } else if (command == QLatin1String("mkdir")) {
        result = await(connection, [&] { connection.MakeDirectory(withoutTrailingSlash(path)); });
    } else if (command == QLatin1String("rmdir")) {
        result = await(connection, [&] { connection.RemoveDirectory(withoutTrailingSlash(path)); });
    } else if (command == QLatin1String("rm")) {
        result = await(connection, [&] { connection.RemoveFile(path); });
    } else if (command == QLatin1String("mv")) {
        const QByteArray target = renameTarget(path, args[1].toUtf8());
        result = await(connection, [&] { connection.Rename(path, target); });
    }
    if (!result.ok())
        return failWith(command, result);

    if (command == QLatin1String("ls")) {
        for (const ftp::ListingEntry& entry : ftp::parseListing(listing.data())) {
            if (entry.rawName != "." && entry.rawName != "..")
                printEntry(entry.isDirectory, entry.isSymLink, entry.name, entry.linkTarget);
        }
    }
    (void)await(connection, [&] { connection.Disconnect(); });
    return 0;
}

}  // namespace zephra::cli
