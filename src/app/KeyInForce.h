#pragma once
// How the window names the key encryption uses, without ever showing the key itself.

#include <QString>

namespace zephra::app {

// "Key in force: team key", or for a key not stored under a name "Key in force: unnamed key
// ending 6789" (never more than four characters, and never more than half of a short key);
// "No key accepted" when key is empty.
QString keyInForceText(const QString& name, const QString& key);

}  // namespace zephra::app
