#pragma once
// Small text stores of the data directory (the profiles' TLS choices, the trusted
// certificates): read whole, replaced whole.

#include "keys/RecordFile.h"

#include <QByteArray>
#include <QString>

namespace zephra::app {

struct WholeFile {
    QByteArray bytes;  // empty also when the file does not exist
    QString error;     // the file exists but could not be read
};
WholeFile readWholeFile(const QString& path);

// Replaces path by bytes through a temporary file beside it that is owner-only (0600) from its
// creation, flushed to disk and renamed over path: a crash leaves the old or the new file whole,
// and no other user can read it at any moment. what names the store in the message.
keys::StoreStatus writeOwnerOnly(const QString& path, const QByteArray& bytes, const QString& what);

}  // namespace zephra::app
