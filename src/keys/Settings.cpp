#include "keys/Settings.h"

#include "keys/AppDir.h"

#include <QFile>

namespace zephra::keys {

Settings::Settings(const QString& appDir)
    : m_settings(std::make_unique<QSettings>(appDir + QLatin1String(files::kSettings), QSettings::IniFormat))
{
}

QVariant Settings::value(const char* key, const QVariant& fallback) const
{
    return m_settings->value(QLatin1String(key), fallback);
}

void Settings::setValue(const char* key, const QVariant& value)
{
    m_settings->setValue(QLatin1String(key), value);
}

void Settings::remove(const char* key)
{
    m_settings->remove(QLatin1String(key));
}

QString Settings::fileName() const
{
    return m_settings->fileName();
}

bool Settings::save()
{
    m_error.clear();
    m_settings->sync();
    // QSettings writes a new file with the process's umask; what the window remembers (its
    // directories, its profile) is nobody else's business.
    if (QFile::exists(fileName()))
        QFile::setPermissions(fileName(), QFile::ReadOwner | QFile::WriteOwner);
    switch (m_settings->status()) {
    case QSettings::NoError:
        return true;
    case QSettings::AccessError:
        m_error = QStringLiteral("Could not write %1.").arg(fileName());
        return false;
    case QSettings::FormatError:
        m_error = QStringLiteral("%1 is damaged.").arg(fileName());
        return false;
    }
    return false;
}

}  // namespace zephra::keys
