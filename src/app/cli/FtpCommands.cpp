// The FTP commands of zephraftp-cli on either route: ls, get, put, mkdir, rmdir, rm, mv.
// put --encrypt and get --decrypt stream the file through the cipher on its way (no working
// copy on disk): the server receives exactly what "encrypt" writes, and the local file is what
// "decrypt" writes. An encrypted upload goes to "<name>.zephra-part" and is renamed over the
// name only when complete; a download replaces LOCALFILE only when complete.
#include "app/cli/CliCommon.h"

#include "ftp/Connection.h"
#include "ftp/Listing.h"
#include "crypto/PosixIo.h"
#include "ftp/Url.h"
#include "ftp/direct/DirectSession.h"
#include "transfer/CipherStreams.h"

#include <QBuffer>
#include <QEventLoop>
#include <QFileInfo>
#include <QTimer>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <optional>
#include <thread>

namespace zephra::cli {

namespace {

using ftp::Connection;
using ftp::Result;

struct CommandShape {
    const char* name;
    int arguments;
    const char* usage;
};

constexpr CommandShape kCommands[] = {
    {"ls", 1, "ls URL"},
    {"get", 2, "get [--decrypt (--key KEY | --key-name NAME [--home DIR])] URL LOCALFILE"},
    {"put", 2, "put [--encrypt (--key KEY | --key-name NAME [--home DIR])] LOCALFILE URL"},
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

int failWith(const QString& command, const Result& result)
{
    QString text = result.description;
    if (!result.serverText.isEmpty() && !text.contains(result.serverText))
        text += QStringLiteral(" (%1)").arg(result.serverText);
    return fail(QStringLiteral("%1: %2").arg(command, text));
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

QString withoutTrailingSlash(QString path)
{
    while (path.size() > 1 && path.endsWith(u'/'))
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
QString renameTarget(const QString& path, const QString& newName)
{
    const qsizetype slash = path.lastIndexOf(u'/');
    if (!newName.contains(u'/') && slash >= 0)
        return path.left(slash + 1) + newName;
    return newName;
}

// The cipher of an encrypted transfer and the stream that feeds or drains it, made before any
// network traffic: a bad key, an unreadable file or an unwritable target fails at once.
struct CipherTransfer {
    std::unique_ptr<crypto::Cipher> cipher;
    std::unique_ptr<transfer::CipherReader> reader;  // put --encrypt
    std::unique_ptr<transfer::CipherWriter> writer;  // get --decrypt
};

QString partName(const QString& path) { return path + QStringLiteral(".zephra-part"); }

// The direct route: one libcurl session, logged in at open, reused for the one operation.
int runDirect(const GlobalOptions& options, const QString& command, const QStringList& args,
              const ftp::FtpUrl& url, const QString& path, CipherTransfer* ciphered)
{
    namespace direct = ftp::direct;
    direct::DirectOptions directOptions;
    directOptions.connectTimeoutMs = options.timeoutMs;
    directOptions.replyTimeoutMs = options.timeoutMs;
    directOptions.stallTimeoutMs = options.timeoutMs;
    directOptions.active = options.active;
    direct::DirectSession session(directOptions);

    // Ctrl-C stops the transfer through the session, so the temporary files still go.
    std::atomic<bool> done{false};
    std::thread watcher;
    if (ciphered) {
        watcher = std::thread([&] {
            while (!done.load()) {
                if (interrupted())
                    session.cancel();
                std::this_thread::sleep_for(std::chrono::milliseconds(50));
            }
        });
    }
    struct Joiner {
        std::atomic<bool>& done;
        std::thread& thread;
        ~Joiner()
        {
            done = true;
            if (thread.joinable())
                thread.join();
        }
    } joiner{done, watcher};

    auto failed = [&](const direct::DirectResult& r) {
        return fail(QStringLiteral("%1: %2").arg(command, r.message));
    };
    direct::DirectResult result =
        session.open(url.host, url.port, url.user, url.password, QStringLiteral("zephraftp-cli"));
    if (!result.ok())
        return failed(result);

    QList<direct::DirectEntry> entries;
    if (command == QLatin1String("ls"))
        result = session.list(withoutTrailingSlash(path), &entries);
    else if (command == QLatin1String("get") && ciphered) {
        transfer::CipherWriter& writer = *ciphered->writer;
        result = session.getTo(path, [&writer](const char* data, qint64 size) { return writer.write(data, size); });
        QString error;
        if (result.ok() && !writer.commit(&error))
            return fail(QStringLiteral("get: %1").arg(error));
        if (!result.ok() && result.error == direct::DirectError::LocalFile)
            result.message = QStringLiteral("Cannot download '%1': %2").arg(path, writer.errorString());
        if (!result.ok())
            writer.abort();
    } else if (command == QLatin1String("get"))
        result = session.get(path, args[1]);
    else if (command == QLatin1String("put") && ciphered) {
        transfer::CipherReader& reader = *ciphered->reader;
        result = session.putFrom([&reader](char* buffer, qint64 maxSize) { return reader.read(buffer, maxSize); },
                                 reader.size(), path);
        if (!result.ok() && result.error == direct::DirectError::LocalFile && !reader.errorString().isEmpty())
            result.message = QStringLiteral("Cannot upload '%1': %2").arg(path, reader.errorString());
        if (result.error == direct::DirectError::Cancelled) {
            // The session removes a broken-off part file with its next operation: give it one.
            session.resetCancel();
            (void)session.remove(partName(path));
        }
    } else if (command == QLatin1String("put"))
        result = session.put(args[0], path);
    else if (command == QLatin1String("mkdir"))
        result = session.makeDirectory(withoutTrailingSlash(path));
    else if (command == QLatin1String("rmdir"))
        result = session.removeDirectory(withoutTrailingSlash(path));
    else if (command == QLatin1String("rm"))
        result = session.remove(path);
    else if (command == QLatin1String("mv"))
        result = session.rename(path, renameTarget(path, args[1]));
    if (!result.ok())
        return failed(result);
    for (const direct::DirectEntry& entry : entries)
        printEntry(entry.isDirectory, entry.isLink, entry.name, entry.linkTarget);
    session.close();
    return 0;
}

}  // namespace

bool isFtpCommand(const QString& command)
{
    return findCommand(command) != nullptr;
}

int runFtpCommand(const GlobalOptions& options, const QString& command, const QStringList& arguments)
{
    const CommandShape* shape = findCommand(command);
    if (!shape)
        return fail(QStringLiteral("unknown command %1").arg(command));
    const QString usage = QStringLiteral("usage: zephraftp-cli [options] %1").arg(QLatin1String(shape->usage));

    // put --encrypt / get --decrypt and where their key comes from.
    QStringList args = arguments;
    KeyOptions keyOptions;
    QString error;
    bool ciphered = false;
    if (command == QLatin1String("get") || command == QLatin1String("put")) {
        const QString flag = command == QLatin1String("put") ? QStringLiteral("--encrypt") : QStringLiteral("--decrypt");
        if (!takeKeyOptions(&args, &keyOptions, &error))
            return fail(error);
        QStringList positional;
        for (int i = 0; i < args.size(); ++i) {
            if (args[i] == QLatin1String("--")) {
                positional += args.mid(i + 1);
                break;
            }
            if (args[i] == flag)
                ciphered = true;
            else if (args[i].startsWith(QLatin1String("--")))
                return fail(QStringLiteral("%1: unknown option %2").arg(command, args[i]));
            else
                positional += args[i];
        }
        args = positional;
        if (ciphered != keyOptions.given())
            return fail(ciphered ? QStringLiteral("%1 %2 needs --key KEY or --key-name NAME").arg(command, flag)
                                 : QStringLiteral("%1: a key is for %2 only").arg(command, flag));
    }
    if (args.size() != shape->arguments)
        return fail(usage);
    const QString urlText = command == QLatin1String("put") ? args[1] : args[0];
    auto url = ftp::parseFtpUrl(urlText, &error);
    if (!url || !completeLogin(urlText, &*url, options, &error))
        return fail(error);
    // What an earlier, killed download left beside its destination goes first.
    if (command == QLatin1String("get"))
        (void)crypto::removeStaleTemporaries(QFile::encodeName(QFileInfo(args[1]).absolutePath()).toStdString());
    QString path = url->path;
    if (command == QLatin1String("put") && (path.isEmpty() || path.endsWith(u'/')))
        path += QFileInfo(args[0]).fileName();
    if (command != QLatin1String("ls") && withoutTrailingSlash(path).isEmpty())
        return fail(QStringLiteral("%1: the address names no file or directory").arg(command));

    // Only encrypted transfers catch Ctrl-C (to clean up); the others end at once as before.
    std::optional<InterruptGuard> interrupts;
    CipherTransfer cipherTransfer;
    if (ciphered) {
        interrupts.emplace();
        const std::optional<std::string> key = resolveKey(keyOptions, command, &error);
        if (!key)
            return fail(QStringLiteral("%1: %2").arg(command, error));
        cipherTransfer.cipher = makeCipher(*key, &error);
        if (!cipherTransfer.cipher)
            return fail(QStringLiteral("%1: %2").arg(command, error));
        if (command == QLatin1String("put")) {
            cipherTransfer.reader = std::make_unique<transfer::CipherReader>(*cipherTransfer.cipher, crypto::Direction::Encrypt);
            if (!cipherTransfer.reader->open(args[0], &error))
                return fail(QStringLiteral("put: %1").arg(error));
        } else {
            cipherTransfer.writer = std::make_unique<transfer::CipherWriter>(*cipherTransfer.cipher, crypto::Direction::Decrypt);
            if (!cipherTransfer.writer->open(args[1], &error))
                return fail(QStringLiteral("get: %1").arg(error));
        }
    }
    if (options.route == QLatin1String("direct"))
        return runDirect(options, command, args, *url, path, ciphered ? &cipherTransfer : nullptr);

    Connection connection;
    connection.setTimeOut(options.timeoutMs);
    connection.setConnectionMode(options.active ? QStringLiteral("PORT") : QStringLiteral("PASV"));

    // Ctrl-C cancels what the engine is doing, so the temporary files still go.
    QTimer interruptWatch;
    if (ciphered) {
        QObject::connect(&interruptWatch, &QTimer::timeout, &connection, [&connection] {
            if (interrupted())
                connection.cancel();
        });
        interruptWatch.start(50);
    }

    Result result = await(connection, [&] {
        connection.Connect(url->host, QString::number(url->port), url->user, url->password);
    });
    if (!result.ok())
        return failWith(command, result);
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
    } else if (command == QLatin1String("get") && ciphered) {
        transfer::CipherSinkDevice sink(std::move(cipherTransfer.writer));
        result = await(connection, [&] { connection.GetFile(path, &sink); });
        if (result.ok() && !sink.writer().commit(&error))
            return fail(QStringLiteral("get: %1").arg(error));
        if (!result.ok())
            sink.writer().abort();
    } else if (command == QLatin1String("get")) {
        result = await(connection, [&] { connection.GetFile(path, args[1]); });
    } else if (command == QLatin1String("put") && ciphered) {
        // Into a part file first and renamed over the name when complete, so a failed upload
        // never leaves the server's existing file cut short.
        const QString part = partName(path);
        const qint64 size = cipherTransfer.reader->size();
        transfer::CipherSourceDevice source(std::move(cipherTransfer.reader));
        result = await(connection, [&] { connection.PutFile(part, &source, size); });
        if (result.ok()) {
            result = await(connection, [&] { connection.Rename(part, path); });
            if (!result.ok())
                result.description = QStringLiteral("the upload arrived as %1 but could not be renamed to %2: %3")
                                         .arg(part, path, result.description);
        }
        if (!result.ok() && connection.isLoggedIn()) {
            interruptWatch.stop();
            (void)await(connection, [&] { connection.RemoveFile(part); });
        }
    } else if (command == QLatin1String("put")) {
        result = await(connection, [&] { connection.PutFile(path, args[0]); });
    } else if (command == QLatin1String("mkdir")) {
        result = await(connection, [&] { connection.MakeDirectory(withoutTrailingSlash(path)); });
    } else if (command == QLatin1String("rmdir")) {
        result = await(connection, [&] { connection.RemoveDirectory(withoutTrailingSlash(path)); });
    } else if (command == QLatin1String("rm")) {
        result = await(connection, [&] { connection.RemoveFile(path); });
    } else if (command == QLatin1String("mv")) {
        const QString target = renameTarget(path, args[1]);
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
