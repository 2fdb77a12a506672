// The FTP commands of zephraftp-cli on either route: ls, get, put, mkdir, rmdir, rm, mv.
#include "app/cli/CliCommon.h"

#include "ftp/Connection.h"
#include "ftp/Listing.h"
#include "ftp/Url.h"
#include "ftp/direct/DirectSession.h"

#include <QBuffer>
#include <QEventLoop>
#include <QFileInfo>
#include <cstdio>

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
    {"get", 2, "get URL LOCALFILE"},
    {"put", 2, "put LOCALFILE URL"},
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

void printEntry(bool isDirectory, const QString& name)
{
    const QByteArray line = (isDirectory ? "d " : "- ") + printable(name).toUtf8() + '\n';
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

// The direct route: one libcurl session, logged in at open, reused for the one operation.
int runDirect(const GlobalOptions& options, const QString& command, const QStringList& args,
              const ftp::FtpUrl& url, const QString& path)
{
    namespace direct = ftp::direct;
    direct::DirectOptions directOptions;
    directOptions.connectTimeoutMs = options.timeoutMs;
    directOptions.replyTimeoutMs = options.timeoutMs;
    directOptions.stallTimeoutMs = options.timeoutMs;
    directOptions.active = options.active;
    direct::DirectSession session(directOptions);

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
    else if (command == QLatin1String("get"))
        result = session.get(path, args[1]);
    else if (command == QLatin1String("put"))
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
        printEntry(entry.isDirectory, entry.name);
    session.close();
    return 0;
}

}  // namespace

bool isFtpCommand(const QString& command)
{
    return findCommand(command) != nullptr;
}

int runFtpCommand(const GlobalOptions& options, const QString& command, const QStringList& args)
{
    const CommandShape* shape = findCommand(command);
    if (!shape)
        return fail(QStringLiteral("unknown command %1").arg(command));
    if (args.size() != shape->arguments)
        return fail(QStringLiteral("usage: zephraftp-cli [options] %1").arg(QLatin1String(shape->usage)));
    const QString urlText = command == QLatin1String("put") ? args[1] : args[0];
    QString error;
    const auto url = ftp::parseFtpUrl(urlText, &error);
    if (!url)
        return fail(error);
    QString path = url->path;
    if (command == QLatin1String("put") && (path.isEmpty() || path.endsWith(u'/')))
        path += QFileInfo(args[0]).fileName();
    if (command != QLatin1String("ls") && withoutTrailingSlash(path).isEmpty())
        return fail(QStringLiteral("%1: the address names no file or directory").arg(command));
    if (options.route == QLatin1String("direct"))
        return runDirect(options, command, args, *url, path);

    Connection connection;
    connection.setTimeOut(options.timeoutMs);
    connection.setConnectionMode(options.active ? QStringLiteral("PORT") : QStringLiteral("PASV"));

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
    } else if (command == QLatin1String("get")) {
        result = await(connection, [&] { connection.GetFile(path, args[1]); });
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
        for (const ftp::ListingEntry& entry : ftp::parseListing(listing.data()))
            printEntry(entry.isDirectory, entry.name);
    }
    (void)await(connection, [&] { connection.Disconnect(); });
    return 0;
}

}  // namespace zephra::cli
