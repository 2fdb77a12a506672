#pragma once
// Builds record bytes by hand for the store tests, independently of the code under test; the
// file helpers are the ones all tests share.

#include "TestFiles.h"

#include <QByteArray>

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

using test::readFile;
using test::writeFile;

}  // namespace zephra::testbytes
