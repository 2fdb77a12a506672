#pragma once
// The key store handled as one file: copied out to a chosen directory, restored from one,
// destroyed. A failed copy leaves both files as they were.

#include "keys/RecordFile.h"

namespace zephra::keys {

// Copies appDir's key.dat to destDir/key.dat (replacing a copy there).
StoreStatus transferStore(const QString& appDir, const QString& destDir);

// Copies sourceDir/key.dat over appDir's key.dat. A file whose length is not a whole number
// of key records is refused.
StoreStatus restoreStore(const QString& sourceDir, const QString& appDir);

// Overwrites appDir's key.dat in place 21 times, each pass flushed to the disk, then deletes
// it. A missing store is success (there is nothing left to destroy).
StoreStatus deleteStore(const QString& appDir);

inline constexpr int kDeletePasses = 21;

}  // namespace zephra::keys
