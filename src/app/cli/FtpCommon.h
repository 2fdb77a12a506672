#pragma once
// What the FTP commands of zephraftp-cli share: waiting for an operation of either route, the
// exit status of a failure, and how a server path splits into directory and name. Internal to
// the tool.

#include "app/cli/CliCommon.h"
#include "ftp/Result.h"
#include "ftp/direct/DirectWorker.h"
#include "transfer/RemoteRoute.h"

#include <QList>
#include <QString>
#include <functional>

namespace zephra::ftp {
class Connection;
struct FtpUrl;
}

namespace zephra::cli::ftpcli {

// -v: every command and reply of the session on standard error as the window's log shows it
// (time-stamped, PASS ****); nothing without -v.
void traceProtocol(ftp::Connection& connection, const GlobalOptions& options);
void traceProtocol(ftp::direct::DirectWorker& worker, const GlobalOptions& options);

// Each runs one operation to its end (bounded by the route's own time-outs).
ftp::Result await(ftp::Connection& connection, const std::function<void()>& operation);
ftp::direct::DirectResult await(ftp::direct::DirectWorker& worker, const std::function<quint64()>& operation,
                                QList<ftp::direct::DirectEntry>* entries = nullptr);
// Ctrl-C cancels it.
transfer::Outcome await(transfer::RemoteRoute& route, const std::function<void()>& operation);

// TLS of a login: the global --tls, --cacert and --pin-sha256, and implicit TLS for ftps://.
ftp::TlsOptions tlsFor(const GlobalOptions& options, const ftp::FtpUrl& url);
// After a login under --tls auto that went on in plain: one line on stderr saying so.
void warnIfPlain(const ftp::TlsOptions& tls, const QString& host, bool tlsActive);
// A login that failed for TLS (exit 8): the reason, and for a certificate that is not trusted
// its subject, issuer, validity and fingerprint and how to pin it. The tool never asks.
bool isTlsFailure(const ftp::Result& result);
bool isTlsFailure(const ftp::direct::DirectResult& result);
int failTls(const QString& command, const QString& why, const ftp::PeerCertificate& certificate);

// The exit status of a failure; while connecting, a broken connection could not reach the server.
Exit exitFor(transfer::Outcome::Failure kind, bool connecting);
// The engine's failure as one line, with the server's words.
QString textOf(const ftp::Result& result);
int failWith(const QString& command, const ftp::Result& result, bool connecting = false);
// Names come from the server: control characters are shown escaped.
QString printable(const QString& name);
// Paths are the server's bytes (ftp::FtpUrl::rawPath): "caf%E9.txt" is sent with the byte E9.
QByteArray withoutTrailingSlash(QByteArray path);

// A file's path split into the directory a route works in and the bare name it moves.
struct Placed {
    QByteArray directory;  // empty: the login directory
    QByteArray name;
};
Placed place(const QByteArray& path);

// get and put, one or several files, -r for a tree.
int runTransferCommand(const GlobalOptions& options, const QString& command, const QStringList& args,
                       bool ciphered, const KeyOptions& keyOptions, bool quiet);

}  // namespace zephra::cli::ftpcli
