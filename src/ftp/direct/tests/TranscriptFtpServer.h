#pragma once
// pyftpdlib with a short idle time-out, for the one case the shared test servers cannot stage: a
// server that drops an idle control connection ("421 Control connection timed out." and close).
// The shared starters in tests/support offer no time-out setting; everything else uses them.

#include <QProcess>
#include <QString>
#include <QTemporaryDir>

namespace zephra::ftp::direct::testsupport {

class IdleFtpServer final {
public:
    explicit IdleFtpServer(int idleTimeoutSeconds) : m_idleSeconds(idleTimeoutSeconds) {}
    ~IdleFtpServer();
    IdleFtpServer(const IdleFtpServer&) = delete;
    IdleFtpServer& operator=(const IdleFtpServer&) = delete;

    // Starts the server and waits (at most 10 s) until it reports its port.
    bool start();
    QString error() const { return m_error; }
    int port() const { return m_port; }
    QString user() const { return QStringLiteral("zuser"); }
    QString password() const { return QStringLiteral("z pass:1"); }

    QString log() const;  // every command, reply and session event so far
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
