#pragma once
// The TLS choice of each saved connection profile, in its own small file beside connect.dat
// (tls.dat in the data directory): connect.dat keeps its fixed 225-byte records, which have no
// room for it, and other programs read that file.
//
// One line per profile, "<choice> <name>", choice one of "require", "if-offered", "plain"; the
// name as connect.dat stores it (cut to its field, blanks trimmed), with '%', CR and LF
// percent-encoded. A profile without a line uses "TLS if the server offers it", so profiles
// saved before the file existed get that. The file is replaced whole on every change
// (atomically) and is owner-only.

#include "ftp/Tls.h"
#include "keys/RecordFile.h"

#include <QMap>
#include <QString>

namespace zephra::app {

class ProfileTlsStore final {
public:
    static constexpr auto kFileName = "tls.dat";
    static constexpr ftp::TlsMode kDefault = ftp::TlsMode::IfOffered;

    explicit ProfileTlsStore(QString appDir) : m_appDir(std::move(appDir)) {}
    QString path() const { return m_appDir + QLatin1String(kFileName); }

    struct Choice {
        ftp::TlsMode mode = kDefault;
        QString error;  // the file could not be read; mode is then the default
    };
    // The choice stored for the profile name, or the default.
    Choice choice(const QString& name) const;
    keys::StoreStatus setChoice(const QString& name, ftp::TlsMode mode) const;
    // Drops the profile's line (Remove); no file and no line are fine.
    keys::StoreStatus remove(const QString& name) const;

    // "require", "if-offered", "plain" and back; an unknown word reads as Require (see .cpp).
    static QString modeWord(ftp::TlsMode mode);
    static ftp::TlsMode modeFromWord(QStringView word);

private:
    struct Entries {
        QMap<QString, ftp::TlsMode> modes;
        QString error;
    };
    Entries read() const;
    keys::StoreStatus write(const QMap<QString, ftp::TlsMode>& modes) const;

    QString m_appDir;
};

}  // namespace zephra::app
