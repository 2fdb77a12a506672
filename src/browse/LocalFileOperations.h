#pragma once
// The local file and directory operations behind the LocalDir and LocalFiles menus. Questions
// and failures go through the Prompter; a failure shows "There was the error - " with the
// system's reason and changes nothing on disk: nothing is replaced, nothing half-done is left.

#include <QString>
#include <QStringList>

#include <optional>

class QWidget;

namespace zephra::dialogs {
class Prompter;
}

namespace zephra::browse {

inline const QString kErrorPrefix = QStringLiteral("There was the error - ");

// The plain disk steps: an empty result is success, otherwise the reason to show. Paths use the
// platform's form (QDir::toNativeSeparators) or Qt's "/" form.
namespace localfs {
QString removeDirectory(const QString& path);
QString makeDirectory(const QString& path);
// Never replaces an existing `to`, whether file or directory.
QString renameNoReplace(const QString& from, const QString& to);
QString removeFile(const QString& path);
// Why `path` cannot be opened as a directory (not there, not a directory, not permitted), or
// empty when it can.
QString openDirectoryProblem(const QString& path);
// Why `name` cannot be one entry of a directory ("/", "\\" on Windows, ".", "..", control
// characters), or empty when it can.
QString invalidNameReason(const QString& name);
}  // namespace localfs

class LocalFileOperations final {
public:
    explicit LocalFileOperations(dialogs::Prompter& prompter, QWidget* dialogParent = nullptr);

    enum class Outcome { Cancelled, Failed, Done };
    // Asks "Are you sure you want to delete the folder <dir>?", then removes it when empty.
    Outcome deleteDirectory(const QString& directory);
    // Creates parent/name and returns its path.
    std::optional<QString> makeDirectory(const QString& parent, const QString& name);
    // Renames `directory` to `newName` beside it and returns the new path.
    std::optional<QString> renameDirectory(const QString& directory, const QString& newName);

    struct DeleteOutcome {
        bool confirmed = false;  // false: the user said No, nothing was touched
        int deleted = 0;
        int failed = 0;
    };
    // One question for all files; failures are reported together in one message.
    DeleteOutcome deleteFiles(const QStringList& paths);
    // Renames directory/oldName to directory/newName and returns the new path.
    std::optional<QString> renameFile(const QString& directory, const QString& oldName,
                                      const QString& newName);

    // Shows "There was the error - " and the reason.
    void reportError(const QString& reason);

private:
    dialogs::Prompter& m_prompter;
    QWidget* m_parent = nullptr;
};

}  // namespace zephra::browse
