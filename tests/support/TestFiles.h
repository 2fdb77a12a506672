#pragma once
// Small file helpers the FTP tests share: whole-file reads and writes, and reproducible bytes.

#include <QByteArray>
#include <QFile>
#include <QString>
#include <ostream>

namespace zephra::test {

// The file's bytes, or "<missing>" when it can not be read.
inline QByteArray readFile(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<missing>");
}

// Creates or replaces the file with these bytes.
inline bool writeFile(const QString& path, const QByteArray& bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(bytes) == bytes.size();
}

// Bytes that differ from position to position and from seed to seed, so a shifted or foreign
// block shows.
inline QByteArray pattern(qint64 size, int seed = 0)
{
    QByteArray bytes(size, Qt::Uninitialized);
    for (qint64 i = 0; i < size; ++i)
        bytes[i] = char((i * 131 + i / 7 + seed) & 0xff);
    return bytes;
}

}  // namespace zephra::test

QT_BEGIN_NAMESPACE
// Test failures show texts instead of bytes.
inline void PrintTo(const QString& text, std::ostream* out) { *out << '"' << text.toStdString() << '"'; }
// Bytes as text, with what is not printable ASCII as \xNN (names that are not UTF-8 show).
inline void PrintTo(const QByteArray& bytes, std::ostream* out)
{
    static const char digits[] = "0123456789abcdef";
    *out << '"';
    for (const char c : bytes) {
        const auto u = static_cast<unsigned char>(c);
        if (u >= 0x20 && u < 0x7f && c != '\\')
            *out << c;
        else
            *out << "\\x" << digits[u >> 4] << digits[u & 15];
    }
    *out << '"';
}
QT_END_NAMESPACE
