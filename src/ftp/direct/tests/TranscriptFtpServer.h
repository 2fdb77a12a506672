#pragma once
// pyftpdlib logging the whole command transcript, with an idle time-out of our choice. For what
// the shared test servers in tests/support do not show: which commands arrived (one USER, EPRT
// rather than PASV, TYPE I, QUIT), and a server dropping an idle control connection ("421
// Control connection timed out." and close). Everything else uses the shared servers.

#include <QProcess>
#include <QString>
#include <QTemporaryDir>

namespace zephra::ftp::direct::testsupport {

class TranscriptFtpServer final {
public:
    explicit TranscriptFtpServer(int idleTimeoutSeconds = 300) : m_idleSeconds(idleTimeoutSeconds) {}
    ~TranscriptFtpServer();
    TranscriptFtpServer(const TranscriptFtpServer&) = delete;
    TranscriptFtpServer& operator=(const TranscriptFtpServer&) = delete;

    // Starts the server and waits (at most 10 s) until it reports its port.
    bool start();
    QString error() const { return m_error; }
    int port() const { return m_port; }
    qint64 processId() const { return m_process.processId(); }
    QString user() const { return QStringLiteral("zuser"); }
    QString password() const { return QStringLiteral("z pass:1"); }

    QString root() const;
    QString log() const;  // every command ("<- USER x"), reply ("-> 230 ...") and session event
    int loginCount() const;
    // Waits (bounded) until text occurs in the log at least count times.
    bool waitForLog(const QString& text, int count, int timeoutMs) const;

private:
    int m_idleSeconds;
    QTemporaryDir m_dir;
    QProcess m_process;
    int m_port = 0;
    QString m_error;
};

}  // namespace zephra::ftp::direct::testsupport
