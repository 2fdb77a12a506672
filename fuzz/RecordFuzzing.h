#pragma once
// The record stores read files: a fuzz input becomes the store's file in a directory of its own.

#include "FuzzTarget.h"

#include <QByteArray>
#include <QFile>
#include <QString>
#include <QTemporaryDir>

namespace zephra::fuzz {

// The data directory (with its trailing separator) whose file `name` now holds exactly bytes.
inline QString storeDirWith(const char* name, const std::uint8_t* data, std::size_t size)
{
    static QTemporaryDir dir;
    FUZZ_CHECK(dir.isValid());
    QFile file(dir.filePath(QString::fromLatin1(name)));
    FUZZ_CHECK(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    FUZZ_CHECK(file.write(reinterpret_cast<const char*>(data), qint64(size)) == qint64(size));
    file.close();
    return dir.path() + QLatin1Char('/');
}

}  // namespace zephra::fuzz
