// The control channel's reply framer, through its public face: a loopback server sends the
// input as the server's side of a control connection and closes it; every reply the channel
// hands over must be well formed, and every line must reach the log unchanged.

#include "FuzzTarget.h"

#include "ftp/ControlChannel.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>

#include <memory>

using zephra::ftp::ControlChannel;
using zephra::ftp::Reply;

namespace {

QTcpServer* server = nullptr;

bool startsWithCode(const QString& line, int code)
{
    if (line.size() < 3)
        return false;
    for (int i = 0; i < 3; ++i) {
        if (line[i] < u'0' || line[i] > u'9')
            return false;
    }
    return line.left(3).toInt() == code;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv)
{
    new QCoreApplication(*argc, *argv);  // lives as long as the process
    server = new QTcpServer;
    FUZZ_CHECK(server->listen(QHostAddress::LocalHost, 0));
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const QByteArray input(reinterpret_cast<const char*>(data), qsizetype(size));

    ControlChannel channel;
    QList<Reply> replies;
    QStringList logged;
    bool failed = false;
    bool ended = false;
    QEventLoop loop;
    QObject::connect(&channel, &ControlChannel::replyReceived, [&](const Reply& r) {
        FUZZ_CHECK(!failed);
        replies.append(r);
    });
    QObject::connect(&channel, &ControlChannel::lineReceived, [&](const QString& line) { logged.append(line); });
    QObject::connect(&channel, &ControlChannel::protocolError, [&] {
        failed = true;
        ended = true;
        loop.quit();
    });
    QObject::connect(&channel, &ControlChannel::closed, [&] {
        ended = true;
        loop.quit();
    });
    QObject::connect(&channel, &ControlChannel::connectFailed, [&] { FUZZ_CHECK(!"loopback connect failed"); });

    std::unique_ptr<QTcpSocket> peer;
    QObject::connect(server, &QTcpServer::newConnection, &loop, [&] {
        peer.reset(server->nextPendingConnection());
        peer->write(input);
        peer->disconnectFromHost();  // after the bytes are written
    });
    channel.connectToServer(QStringLiteral("127.0.0.1"), server->serverPort());
    // A channel that neither finishes nor fails on a closed connection is hung: that is a finding.
    QTimer::singleShot(10000, &loop, [&] { FUZZ_CHECK(!"the channel neither closed nor failed"); });
    if (!ended)
        loop.exec();
    QObject::disconnect(server, &QTcpServer::newConnection, &loop, nullptr);

    // Every complete line reaches the log in order (the framer stops at a protocol error).
    const QList<QByteArray> rawLines = input.split('\n');
    FUZZ_CHECK(logged.size() <= rawLines.size() - 1);
    if (!failed)
        FUZZ_CHECK(logged.size() == rawLines.size() - 1);
    for (qsizetype i = 0; i < logged.size(); ++i) {
        QByteArray raw = rawLines[i];
        if (raw.endsWith('\r'))
            raw.chop(1);
        FUZZ_CHECK(logged[i] == QString::fromUtf8(raw));
        FUZZ_CHECK(raw.size() <= ControlChannel::kMaxLineLength);
    }

    // Each reply carries its code on its first line and, when it has several, ends with "nnn "
    // (or a bare "nnn") of the same code; its lines are lines the server sent.
    qsizetype lineIndex = 0;
    for (const Reply& r : replies) {
        FUZZ_CHECK(r.code >= 0 && r.code <= 999);
        FUZZ_CHECK(!r.lines.isEmpty());
        FUZZ_CHECK(startsWithCode(r.lines.first(), r.code));
        if (r.lines.size() > 1) {
            FUZZ_CHECK(r.lines.first().size() > 3 && r.lines.first()[3] == u'-');
            const QString& last = r.lines.last();
            FUZZ_CHECK(startsWithCode(last, r.code) && (last.size() == 3 || last[3] == u' '));
        } else {
            const QString& only = r.lines.first();
            FUZZ_CHECK(only.size() == 3 || only[3] != u'-');
        }
        // The raw lines are the server's bytes of the same lines.
        FUZZ_CHECK(r.rawLines.size() == r.lines.size());
        qsizetype total = 0;
        for (qsizetype i = 0; i < r.lines.size(); ++i) {
            FUZZ_CHECK(QString::fromUtf8(r.rawLines[i]) == r.lines[i]);
            total += r.rawLines[i].size();
        }
        FUZZ_CHECK(total <= ControlChannel::kMaxReplySize + ControlChannel::kMaxLineLength);
        // The reply's lines appear, in order and back to back, among the logged lines.
        while (lineIndex < logged.size() && logged[lineIndex] != r.lines.first())
            ++lineIndex;
        FUZZ_CHECK(lineIndex + r.lines.size() <= logged.size());
        for (const QString& line : r.lines)
            FUZZ_CHECK(logged[lineIndex++] == line);
    }
    return 0;
}
