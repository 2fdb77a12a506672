#pragma once
// The external viewer: the command line from editor.xex, started without waiting, with the
// file to show as its last argument.
//
// Usage:
//     const dialogs::ViewerLaunch launch = dialogs::launchViewer(editorPath, filePath);
//     if (!launch.ok)
//         prompter.warning(parent, dialogs::kAppTitle, launch.message);
//
// The command is split into words the way a POSIX shell splits them (so a program path with
// blanks can be quoted); the file path is passed as one argument of its own, blanks and all.

#include <QString>
#include <QStringList>

namespace zephra::dialogs {

// Splits on blanks (space, tab, line feed) outside quotes; '...' keeps everything literally;
// "..." keeps everything but \" \\ \$ \` and a backslash before a line break (removed); a
// backslash outside quotes makes the next character literal. Nothing is expanded ($, *, ~ and
// operators such as ; | > stay as written). An unterminated quote is an error: the result is
// empty and *error (when given) says why.
QStringList splitCommandLine(const QString& command, QString* error = nullptr);

struct [[nodiscard]] ViewerLaunch {
    bool ok = false;
    QString message;  // when !ok: a sentence fit for a message box
    qint64 pid = 0;   // when ok: the started process
};

// Starts the viewer detached: the command's words, then filePath as the last argument.
ViewerLaunch launchViewer(const QString& command, const QString& filePath);

}  // namespace zephra::dialogs
