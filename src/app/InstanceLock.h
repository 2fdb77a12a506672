#pragma once
// One program per data directory. The window keeps a lock file in the data directory for its
// whole run: a second start on the same directory would otherwise wipe the first one's keyspace
// (start-up clears the working files a crash left behind) and rewrite its files under it.

#include <QLockFile>
#include <QString>

class QTextStream;

namespace zephra::dialogs {
class Prompter;
}

namespace zephra::app {

class InstanceLock final {
public:
    static constexpr auto kFileName = "zephraftp.lock";

    explicit InstanceLock(const QString& appDir);

    // Takes the lock without waiting. A lock left by a program that ended without letting go
    // (a crash, a power cut) is taken over: its process is gone. False when another running
    // program holds the directory; the user is then told so through the prompter, and the same
    // text goes to `errors` (stderr), for a start from a terminal or a script.
    bool tryLock(dialogs::Prompter& prompter, QTextStream& errors);
    bool isLocked() const { return m_lock.isLocked(); }
    // Why the lock could not be taken; empty while it is held or not yet tried.
    const QString& message() const { return m_message; }

private:
    QString m_appDir;
    QLockFile m_lock;
    QString m_message;
};

}  // namespace zephra::app
