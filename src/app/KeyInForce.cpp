#include "app/KeyInForce.h"

#include <algorithm>

namespace zephra::app {

QString keyInForceText(const QString& name, const QString& key)
{
    if (key.isEmpty())
        return QStringLiteral("No key accepted");
    if (!name.isEmpty())
        return QStringLiteral("Key in force: ") + name;
    // A short key would be given away whole by its last four characters.
    const qsizetype shown = std::min<qsizetype>(4, key.size() / 2);
    if (shown == 0)
        return QStringLiteral("Key in force: unnamed key");
    return QStringLiteral("Key in force: unnamed key ending ") + key.right(shown);
}

}  // namespace zephra::app
