// zephraftp-cli: the scripting front end of the cipher and the FTP routes.
#include "app/cli/CliCommon.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <cstdio>

namespace zephra::cli {

int fail(const QString& message, Exit status)
{
    std::fprintf(stderr, "zephraftp-cli: %s\n", qUtf8Printable(message));
    return int(status);
}

namespace {

const char* const kUsage =
    "usage: zephraftp-cli [--help | --version]\n"
    "       zephraftp-cli [-v] [--active] [--quiet] [--timeout MS] [--route engine|direct] [--netrc-file FILE]\n"
    "                     [--tls require|auto|off] [--cacert FILE] [--pin-sha256 FINGERPRINT] COMMAND ...\n"
    "  keyspace KEY DIR\n"
    "  encrypt (--key KEY | --key-name NAME [--home DIR]) SOURCE DEST\n"
    "  decrypt (--key KEY | --key-name NAME [--home DIR]) SOURCE DEST\n"
    "  ls URL | get URL LOCALFILE | put LOCALFILE URL\n"
    "  get URL... DIR/ | put LOCALFILE... URL/   (a trailing / means a directory)\n"
    "  get -r URL... DIR/ | put -r LOCALDIR... URL/   (whole trees, plain or encrypted)\n"
    "  get --continue URL LOCALFILE | put --continue LOCALFILE URL   (resume a cut transfer)\n"
    "  put --encrypt (--key KEY | --key-name NAME [--home DIR]) LOCALFILE... URL\n"
    "  get --decrypt (--key KEY | --key-name NAME [--home DIR]) URL... LOCALFILE|DIR/\n"
    "  mkdir URL | rmdir URL | rm URL | mv URL NEWNAME\n"
    "Instead of --key KEY (visible to other users in the process list): --key-file FILE (its first\n"
    "line) or --key-stdin (one line of standard input). A URL without a password takes it from\n"
    "~/.netrc (or --netrc-file FILE), else from ZEPHRA_PASSWORD, else from a prompt on a terminal.\n"
    "get and put show a progress line on standard error when it is a terminal; --quiet (before the\n"
    "command or after get/put) leaves it out. -v (--verbose) prints every command and reply of the\n"
    "session on standard error, time-stamped, the password shown as PASS ****.\n"
    "get --continue resumes from the size of the existing local file, put --continue from the size\n"
    "of the server's file (as its directory listing gives it); encrypted transfers resume too.\n"
    "FTP over TLS: --tls auto (the default) uses TLS when the server offers it and warns when it does\n"
    "not; --tls require never sends the login in plain; --tls off is plain FTP. ftps://HOST (port 990)\n"
    "is TLS from the first byte. The certificate must verify against the system's authorities (and\n"
    "--cacert FILE) or have the SHA-256 fingerprint given with --pin-sha256 (AB:CD:... as printed).\n"
    "Exit status: 0 success, 1 other failure (wrong key, damaged file, protocol fault), 2 usage,\n"
    "3 local file error, 4 connection refused or timed out, 5 login refused, 6 server refused the\n"
    "command (no such file, no permission), 7 transfer broken off, 8 TLS failure (certificate not\n"
    "trusted, TLS refused under --tls require, handshake failed), 130 interrupted.\n";

}  // namespace
}  // namespace zephra::cli

int main(int argc, char** argv)
{
    using namespace zephra::cli;
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("ZephraFTP"));
    QStringList args = QCoreApplication::arguments().mid(1);

    GlobalOptions options;
    while (!args.isEmpty() && (args.first().startsWith(QLatin1String("--")) || args.first() == QLatin1String("-v"))) {
        const QString opt = args.takeFirst();
        if (opt == QLatin1String("--help")) {
            std::fputs(kUsage, stdout);
            return 0;
        }
        if (opt == QLatin1String("--version")) {
            std::printf("zephraftp-cli %s\n", PROJECT_VERSION_TEXT);
            return 0;
        }
        if (opt == QLatin1String("-v") || opt == QLatin1String("--verbose")) {
            options.verbose = true;
        } else if (opt == QLatin1String("--active")) {
            options.active = true;
        } else if (opt == QLatin1String("--quiet")) {
            options.quiet = true;
        } else if (opt == QLatin1String("--timeout")) {
            bool ok = false;
            options.timeoutMs = args.isEmpty() ? 0 : args.takeFirst().toInt(&ok);
            if (!ok || options.timeoutMs <= 0)
                return usageError(QStringLiteral("--timeout needs a positive number of milliseconds"));
        } else if (opt == QLatin1String("--netrc-file")) {
            if (args.isEmpty())
                return usageError(QStringLiteral("--netrc-file needs a file"));
            options.netrcFile = args.takeFirst();
        } else if (opt == QLatin1String("--tls")) {
            const QString mode = args.isEmpty() ? QString() : args.takeFirst();
            if (mode == QLatin1String("require"))
                options.tls.mode = zephra::ftp::TlsMode::Require;
            else if (mode == QLatin1String("auto"))
                options.tls.mode = zephra::ftp::TlsMode::IfOffered;
            else if (mode == QLatin1String("off"))
                options.tls.mode = zephra::ftp::TlsMode::Plain;
            else
                return usageError(QStringLiteral("--tls must be require, auto or off"));
        } else if (opt == QLatin1String("--cacert")) {
            if (args.isEmpty())
                return usageError(QStringLiteral("--cacert needs a file"));
            options.tls.caFile = args.takeFirst();
            if (!QFileInfo(options.tls.caFile).isReadable())
                return fail(QStringLiteral("--cacert: cannot read %1").arg(options.tls.caFile), Exit::LocalFile);
        } else if (opt == QLatin1String("--pin-sha256")) {
            const QByteArray pin = args.isEmpty() ? QByteArray() : zephra::ftp::parseSha256Fingerprint(args.takeFirst());
            if (pin.isEmpty())
                return usageError(QStringLiteral("--pin-sha256 needs a SHA-256 fingerprint (64 hex digits, colons allowed)"));
            options.tls.trustedSha256.append(pin);
        } else if (opt == QLatin1String("--route")) {
            options.route = args.isEmpty() ? QString() : args.takeFirst();
            if (options.route != QLatin1String("engine") && options.route != QLatin1String("direct"))
                return usageError(QStringLiteral("--route must be engine or direct"));
        } else {
            return usageError(QStringLiteral("unknown option %1").arg(opt));
        }
    }
    if (args.isEmpty()) {
        std::fputs(kUsage, stderr);
        return 2;
    }
    const QString command = args.takeFirst();
    if (isCryptoCommand(command))
        return runCryptoCommand(options, command, args);
    if (isFtpCommand(command))
        return runFtpCommand(options, command, args);
    std::fputs(kUsage, stderr);
    return usageError(QStringLiteral("unknown command %1").arg(command));
}
