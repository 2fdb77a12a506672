#pragma once
// Windows-1252, the single-byte code page of the record files (connect.dat, key.dat).
// Qt's own converters do not carry it, so this is a small exact table codec.

#include <QByteArray>
#include <QString>

#include <optional>

namespace zephra::keys::cp1252 {

// Every byte decodes; the five bytes the code page leaves undefined (0x81, 0x8D, 0x8F, 0x90,
// 0x9D) decode to the control character of the same value, as Windows does.
QString decode(QByteArrayView bytes);

// The first character of text that the code page cannot hold, if any.
std::optional<QChar> firstUnencodable(QStringView text);

// Encodes text; std::nullopt when a character cannot be held (see firstUnencodable).
std::optional<QByteArray> encode(QStringView text);

}  // namespace zephra::keys::cp1252
