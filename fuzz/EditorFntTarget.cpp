// editor.fnt, the editor's appearance: any file reads to values in their ranges, and what is
// read writes back to a file that reads the same.

#include "FuzzTarget.h"

#include "dialogs/frmEdit.h"

#include <cmath>

using zephra::dialogs::EditorAppearance;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const QByteArrayView bytes(reinterpret_cast<const char*>(data), qsizetype(size));
    const EditorAppearance a = EditorAppearance::read(bytes);
    FUZZ_CHECK(a.background <= 0xFFFFFF && a.foreground <= 0xFFFFFF);
    FUZZ_CHECK(a.pointSize == 0 || (a.pointSize >= 1 && a.pointSize <= 1638));
    FUZZ_CHECK(!a.fontName.contains(u'\n') && !a.fontName.contains(u'\r'));
    // Only the colours the editor can show become colours; system colours stay defaults.
    FUZZ_CHECK(EditorAppearance::colourOf(a.background).isValid() == (a.background >= 0));

    const QByteArray written = a.write();
    const EditorAppearance b = EditorAppearance::read(written);
    FUZZ_CHECK(b.background == a.background && b.foreground == a.foreground);
    // Sizes are written with two decimals at most.
    FUZZ_CHECK(std::abs(b.pointSize - a.pointSize) <= 0.005 + 1e-9);
    // A font name that makes the file longer than a settings file may be is cut when read.
    if (written.size() <= 4096)
        FUZZ_CHECK(b.fontName == a.fontName);
    return 0;
}
