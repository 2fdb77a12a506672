#pragma once
// The program's data directory (AppDir) and the names of the files that live in it.

#include <QString>

#include <optional>

namespace zephra::keys {

namespace files {
inline constexpr auto kConnections = "connect.dat";
inline constexpr auto kConnectionsTmp = "connect.tmp";
inline constexpr auto kKeys = "key.dat";
inline constexpr auto kKeysTmp = "key.tmp";
inline constexpr auto kEditorCommand = "editor.xex";
inline constexpr auto kEditorFont = "editor.fnt";
inline constexpr auto kNoticeMarker = "opt.dne";
inline constexpr auto kDecryptWork = "ZepDec.dat";
inline constexpr auto kListing = "ZepFTPlist.dat";
inline constexpr auto kViewCopy = "ViewData.txt";
inline constexpr auto kWorkDir = "tmp";
// What the window remembers between runs (Settings.h); never in connect.dat or key.dat.
inline constexpr auto kSettings = "settings.ini";
}  // namespace files

// Environment variables naming the data directory, in the order they are looked at.
inline constexpr auto kHomeEnv = "ZEPHRAFTP_HOME";
inline constexpr auto kHomeEnvShort = "ZEPHRA_HOME";

// The per-user default: <generic data location>/ZephraFTP (independent of the application
// name, so the window and the command-line tool agree).
QString defaultAppDir();

// The directory chosen by homeOption (the --home value; empty when not given), else the
// environment, else defaultAppDir(). A directory that does not exist is created owner-only
// (0700). Returns the absolute path ending with a separator, or std::nullopt with *error set.
std::optional<QString> resolveAppDir(const QString& homeOption, QString* error = nullptr);

}  // namespace zephra::keys
