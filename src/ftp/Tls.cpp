#include "ftp/Tls.h"

namespace zephra::ftp {

QString PeerCertificate::fingerprintText() const
{
    return QString::fromLatin1(sha256.toHex(':').toUpper());
}

QByteArray parseSha256Fingerprint(const QString& text)
{
    QByteArray hex = text.trimmed().toLatin1();
    hex.replace(':', QByteArray());
    if (hex.size() != 64)
        return {};
    for (char c : hex) {
        const bool digit = (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
        if (!digit)
            return {};
    }
    return QByteArray::fromHex(hex);
}

}  // namespace zephra::ftp
