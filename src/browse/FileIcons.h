#pragma once
// The file-type pictures shared by the server and the local file lists, and the rule that picks
// one for a file name.

#include <QIcon>
#include <QString>

#include <array>
#include <cstdint>

namespace zephra::browse {

// Picture indexes (1-based, as the image lists number them).
inline constexpr int kIconPicture = 1;
inline constexpr int kIconWebPage = 2;
inline constexpr int kIconText = 3;
inline constexpr int kIconAnimation = 4;
inline constexpr int kIconScript = 5;
inline constexpr int kIconAudio = 6;
inline constexpr int kIconArchive = 7;
inline constexpr int kIconVideo = 8;
inline constexpr int kIconProgram = 9;
inline constexpr int kIconOtherFile = 10;
inline constexpr int kIconDrive = 11;
inline constexpr int kIconFolder = 12;
inline constexpr int kIconFolderOpen = 13;
inline constexpr int kIconCount = 13;

// The extension is the text after the last "." (the whole name when there is none), lower-cased,
// matched exactly against a fixed table; anything else is kIconOtherFile.
std::uint16_t GetFileIcon(QStringView name);

// The thirteen pictures, loaded once per owner from the ":/icons/" resources.
class IconSet final {
public:
    IconSet();
    // index 1..13; anything else gives the blank-page picture.
    const QIcon& icon(int index) const;
    // Folder closed when not selected, open when selected (the tree's images 12 and 13).
    const QIcon& folder() const { return m_folder; }

private:
    std::array<QIcon, kIconCount + 1> m_icons;
    QIcon m_folder;
};

}  // namespace zephra::browse
