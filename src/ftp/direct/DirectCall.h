#pragma once
// Inside the direct route: what one libcurl perform needs and learns, and the pure helpers
// around it. Only the direct route's own sources include this (it needs the curl headers).

#include "ftp/direct/DirectSession.h"
#include "ftp/direct/DirectTls.h"

#include <QElapsedTimer>
#include <QLoggingCategory>

#include <curl/curl.h>

Q_DECLARE_LOGGING_CATEGORY(lcDirect)

namespace zephra::ftp::direct {

namespace detail {

// What one perform needs, and what its callbacks learn on the way.
struct Call {
    enum class Kind { Login, EnterDirectory, Listing, Download, Upload, Command };
    Kind kind = Kind::Command;
    QString what;  // completes "Cannot ..." in messages: "download 'a.txt'"
    QByteArray url;
    QByteArray customRequest;  // a listing command other than LIST ("MLSD")
    QList<QByteArray> quote;
    const Consumer* consumer = nullptr;
    const Producer* producer = nullptr;
    qint64 uploadSize = -1;
    qint64 from = 0;  // a resumed transfer: REST before RETR, APPE for an upload
    qint64 firstBytes = 0;  // a download of only the file's first bytes (peek): this many
    const ProgressHandler* progress = nullptr;
    const ProtocolLineHandler* protocolLine = nullptr;
    const std::atomic<bool>* cancel = nullptr;
    CURL* handle = nullptr;

    int lastCode = 0;
    QString lastReply;
    int failCode = 0;  // the last reply of 400 and above
    QString failReply;
    QList<QByteArray> replyLines;  // a login's reply lines, for its FEAT
    bool transferStarted = false;  // a 125/150 came for the transfer command
    bool localFailure = false;
    qint64 lastDone = -1;
    qint64 lastTotal = -2;
    int stallMs = 0;         // a transfer whose byte count stands still this long is stalled
    qint64 lastMoved = -1;
    QElapsedTimer sinceMoved;
    bool stalled = false;
    QByteArray strangerAddress;  // an active data connection from elsewhere than the server
    QByteArray serverAddress;
    bool tls = false;          // this perform asks for TLS (and the login's reply to AUTH came)
    bool authAccepted = false;  // a 234 came: the server took AUTH TLS
    int greetings = 0;          // 220 greetings: control connections opened
    int tlsVersion = 0;         // the control connection's TLS version (TLS1_3_VERSION ...), once up
    TlsCheck tlsCheck;
    char errorBuffer[CURL_ERROR_SIZE] = {};

    bool isTransfer() const { return kind == Kind::Listing || kind == Kind::Download || kind == Kind::Upload; }
};

// Closes the sockets of a TLS session (CURLOPT_CLOSESOCKETFUNCTION). libcurl ties the callback
// and this object to the control connection when it opens it, so it lives as long as the session.
struct SocketCloser {
    int controlPort = 0;
    int drainMs = 0;
    const Call* running = nullptr;  // the perform under way, nullptr between performs
};
int closeSocket(void* closer, curl_socket_t socket);

// What went wrong with TLS in a perform that asked for it; an ok result when it was not TLS.
DirectResult tlsFailure(CURLcode rc, const Call& call, const QString& cannot, const QString& detail, int replyCode,
                        const QString& reply);

}  // namespace detail

// What FEAT (RFC 2389) offered, from the reply lines of the login that asked it.
struct ServerFeatures {
    bool utf8 = false;  // "UTF8": OPTS UTF8 ON is understood
    bool mlsd = false;  // "MLST ...": MLSD listings (RFC 3659)
};
ServerFeatures parseFeatures(const QList<QByteArray>& replyLines);

// The URL path for a server path, in the form libcurl turns back into exactly these bytes:
// every byte but the unreserved ones and inner slashes percent-encoded, and a leading "/"
// (absolute path) as %2F, since the URL's own first slash is not part of the FTP path.
QByteArray urlPathOf(const QByteArray& path);

// Whether a server path can go into a command: no CR, LF or NUL, which would end the command
// line and let a name smuggle in another command.
bool holdsLineBreak(const QByteArray& path);

// A name as messages show it, in quotes: the bytes decoded as the listing shows them.
QString quoted(const QByteArray& path);
QString quoted(const QString& name);

DirectResult failure(DirectError error, const QString& message, int code = 0, const QString& text = QString());

}  // namespace zephra::ftp::direct
