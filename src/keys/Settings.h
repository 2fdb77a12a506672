#pragma once
// The settings file in the data directory: what the window remembers between runs (the last
// profile and directories, the window's geometry, the encrypted file format). connect.dat and
// key.dat keep their fixed records; anything new the program remembers goes here.
//
//   keys::Settings settings(appDir);
//   settings.setValue(keys::settings::kFileFormat, "sealed");
//   if (!settings.save()) prompter.warning(..., settings.errorString());
//
// Keys in use, one place so two parts never pick the same name for different things:
//   window/geometry, window/state      the main window (saveGeometry/saveState)
//   session/profile                     the last profile connected with
//   session/localDir, session/serverDir the last local directory and server directory (bytes)
//   keys/format                         "compatible" or "sealed"

#include <QSettings>
#include <QString>
#include <QVariant>

#include <memory>

namespace zephra::keys {

namespace settings {
inline constexpr auto kGeometry = "window/geometry";
inline constexpr auto kWindowState = "window/state";
inline constexpr auto kLastProfile = "session/profile";
inline constexpr auto kLocalDir = "session/localDir";
inline constexpr auto kServerDir = "session/serverDir";
inline constexpr auto kFileFormat = "keys/format";
}  // namespace settings

class Settings final {
public:
    // appDir ends with a separator (resolveAppDir); the file need not exist yet.
    explicit Settings(const QString& appDir);

    QVariant value(const char* key, const QVariant& fallback = QVariant()) const;
    void setValue(const char* key, const QVariant& value);
    void remove(const char* key);

    // Writes the file (atomically, owner-only: 0600). False with errorString() when it could not.
    bool save();
    QString errorString() const { return m_error; }
    QString fileName() const;

private:
    std::unique_ptr<QSettings> m_settings;
    QString m_error;
};

}  // namespace zephra::keys
