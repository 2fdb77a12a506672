#pragma once
// A real FTP server on 127.0.0.1 for the direct route's tests: pyftpdlib (user and password,
// full write rights) or vsftpd (anonymous with write rights), serving a temporary directory,
// logging every command to a file the tests read. Kept to this folder on purpose: it is the
// small starter these tests need until the shared one in tests/support replaces it.

#include <QProcess>
#include <QString>
#include <QTemporaryDir>

namespace zephra::ftp::direct::testsupport {

class LocalFtpServer final {
public:
    enum class Kind { Pyftpdlib, Vsftpd };

    struct Settings {
        Kind kind = Kind::Pyftpdlib;
        QString user = QStringLiteral("zuser");      // pyftpdlib only; vsftpd is anonymous
        QString password = QStringLiteral("z pass:1");
        int idleTimeoutSeconds = 300;                 // pyftpdlib drops idle control connections
    };

    explicit LocalFtpServer(Settings settings);
    explicit LocalFtpServer(Kind kind = Kind::Pyftpdlib) : LocalFtpServer(Settings{kind}) {}
    ~LocalFtpServer();
    LocalFtpServer(const LocalFtpServer&) = delete;
    LocalFtpServer& operator=(const LocalFtpServer&) = delete;

    // Starts the server and waits (at most 10 s) until it accepts connections.
    bool start();
    void stop();
    QString error() const { return m_error; }

    int port() const { return m_port; }
    QString user() const;        // what to log in with
    QString password() const;
    QString root() const;        // the served directory (the login directory)
    // The writable directory the tests work in, as a remote name: the login directory itself for
    // pyftpdlib, "work" for vsftpd, which refuses to serve a login directory its anonymous user
    // may write to ("500 OOPS: vsftpd: refusing to run with writable root inside chroot()").
    QString workDir() const;
    QString remote(const QString& name) const;  // name inside workDir(), by the remote name rule
    QString path(const QString& relative) const; // local path of a name inside workDir()
    QString log() const;         // everything the server logged so far

    // How many logins / control connections the server has seen.
    int loginCount() const;
    int connectionCount() const;
    // Waits (bounded) until the log holds text.
    bool waitForLog(const QString& text, int timeoutMs) const;

private:
    Settings m_settings;
    QTemporaryDir m_dir;
    QProcess m_process;
    int m_port = 0;
    QString m_error;
};

}  // namespace zephra::ftp::direct::testsupport
