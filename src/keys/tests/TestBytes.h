#pragma once
// Builds record bytes by hand for the store tests, independently of the code under test.

#include <QByteArray>
#include <QFile>
#include <QString>

namespace zephra::testbytes {

// text (Latin-1 in the test source) padded with blanks to width.
inline QByteArray padded(const char* text, int width)
{
    QByteArray b(text);
    b.append(QByteArray(width - b.size(), ' '));
    return b;
}

inline QByteArray keyRecord(const char* name, const char* key)
{
    return padded(name, 40) + padded(key, 18);
}

inline QByteArray readFile(const QString& path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

inline bool writeFile(const QString& path, const QByteArray& bytes)
{
    QFile f(path);
    return f.open(QIODevice::WriteOnly | QIODevice::Truncate) && f.write(bytes) == bytes.size();
}

}  // namespace zephra::testbytes
