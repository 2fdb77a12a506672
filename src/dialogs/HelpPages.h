#pragma once
// The help pages shipped with the program, and the notice marker file.

#include <QString>
#include <QStringList>

namespace zephra::dialogs {

inline const QString kOverviewPage = QStringLiteral("overview.htm");
inline const QString kKeyPage = QStringLiteral("key.htm");
inline const QString kSendPage = QStringLiteral("sendrecv.htm");

QStringList helpPages();

// Copies every shipped help page that appDir lacks into appDir (owner-only). Pages that are
// present are left alone, so a user's own edited pages stay. Returns the pages it could not write.
QStringList installHelpPages(const QString& appDir);

// The help viewer's caption for page ("Web Message" for a page it does not know).
QString helpPageCaption(const QString& page);

// The notice marker opt.dne: created empty when missing; the notice is wanted while it is empty.
bool noticeWanted(const QString& appDir);
// Writes the marker line "Done" (CR LF), which suppresses the notice from then on.
bool writeNoticeMarker(const QString& appDir);

}  // namespace zephra::dialogs
