#include "app/InstanceLock.h"

#include "crypto/PosixIo.h"
#include "keys/AppDir.h"

#include "dialogs/Prompter.h"

#include <QDir>
#include <QFile>
#include <QTextStream>

namespace zephra::app {

InstanceLock::InstanceLock(const QString& appDir)
    : m_appDir(appDir), m_lock(appDir + QLatin1String(kFileName))
{
    // Held for hours: only a lock whose process is gone is stale, never an old one.
    m_lock.setStaleLockTime(0);
}

bool InstanceLock::tryLock(dialogs::Prompter& prompter, QTextStream& errors)
{
    if (m_lock.tryLock(0)) {
        m_message.clear();
        // The only window on this directory now: temporary files of a run that was killed
        // (listings, view and edit copies) are what is left to clear away.
        for (const QString& dir : {m_appDir, QDir(m_appDir).filePath(QLatin1String(keys::files::kWorkDir))})
            (void)crypto::removeStaleTemporaries(QFile::encodeName(dir).toStdString());
        return true;
    }
    const QString directory = QDir::toNativeSeparators(m_appDir);
    if (m_lock.error() == QLockFile::LockFailedError) {
        qint64 pid = 0;
        QString host;
        QString program;
        const QString holder = m_lock.getLockInfo(&pid, &host, &program)
            ? QStringLiteral(" (process %1 on %2)").arg(pid).arg(host)
            : QString();
        m_message = QStringLiteral("ZephraFTP is already running with the data directory %1%2.\n"
                                   "Use that window, or close it first. To run a second one, start it with "
                                   "another data directory (--home DIR).")
                        .arg(directory, holder);
    } else {
        m_message = QStringLiteral("The data directory %1 cannot be locked for this program (%2 cannot be "
                                   "written). Nothing was changed.")
                        .arg(directory, QLatin1String(kFileName));
    }
    errors << m_message << Qt::endl;
    prompter.warning(nullptr, dialogs::kAppTitle, m_message);
    return false;
}

}  // namespace zephra::app
