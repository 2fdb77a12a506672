#include "app/TlsConnectFlow.h"

#include "dialogs/Prompter.h"

#include <QLocale>
#include <QTimer>
#include <QWidget>

namespace zephra::app {

namespace {

// A click runs at most: the first connect, one after the certificate question, one in plain.
constexpr int kMaxAttempts = 3;

QString dateText(const QDateTime& when)
{
    return when.isValid() ? QLocale().toString(when.toUTC(), QStringLiteral("yyyy-MM-dd HH:mm 'UTC'"))
                          : QStringLiteral("(not given)");
}

}  // namespace

TlsConnectFlow::TlsConnectFlow(SessionController& session, dialogs::Prompter& prompter, const QString& appDir,
                               QWidget* window)
    : QObject(window), m_session(session), m_prompter(prompter), m_trust(appDir), m_window(window)
{
    setObjectName(QStringLiteral("TlsConnectFlow"));
    // Asked once the session's own signal has returned: the route that reported is not re-entered
    // by the next connect from inside its report.
    connect(&m_session, &SessionController::tlsStopped, this, [this](const SessionController::TlsStop& stop) {
        ++m_pending;
        QTimer::singleShot(0, this, [this, stop] {
            --m_pending;
            onTlsStopped(stop);
        });
    });
}

const QStringList& TlsConnectFlow::certificateButtons()
{
    static const QStringList buttons = {QStringLiteral("Trust this certificate always"),
                                        QStringLiteral("Trust it for this session"), QStringLiteral("Cancel")};
    return buttons;
}

QString TlsConnectFlow::certificateDetails(const ftp::PeerCertificate& certificate)
{
    return QStringLiteral("Subject: %1\nIssuer: %2\nValid from %3 to %4\nSHA-256 fingerprint:\n%5")
        .arg(certificate.subject.isEmpty() ? QStringLiteral("(none)") : certificate.subject,
             certificate.issuer.isEmpty() ? QStringLiteral("(none)") : certificate.issuer,
             dateText(certificate.notBefore), dateText(certificate.notAfter), certificate.fingerprintText());
}

QString TlsConnectFlow::serverKey() const
{
    return CertificateTrustStore::serverKey(m_target.address, SessionController::portNumber(m_target.port));
}

void TlsConnectFlow::connectTo(const SessionController::Target& target, ftp::TlsMode choice)
{
    m_target = target;
    m_choice = choice;
    m_attempts = 0;
    ftp::TlsOptions& tls = m_target.tls;
    tls = ftp::TlsOptions{};
    // "If the server offers it" asks for TLS as Require does: the plain session needs a Yes.
    tls.mode = choice == ftp::TlsMode::Plain ? ftp::TlsMode::Plain : ftp::TlsMode::Require;
    if (tls.mode != ftp::TlsMode::Plain) {
        const CertificateTrustStore::Lookup stored =
            m_trust.trusted(m_target.address, SessionController::portNumber(m_target.port));
        if (!stored.error.isEmpty())
            m_prompter.warning(m_window, dialogs::kAppTitle, stored.error);
        if (!stored.sha256.isEmpty())
            tls.trustedSha256.append(stored.sha256);
        if (const QByteArray session = m_sessionTrust.value(serverKey()); !session.isEmpty())
            tls.trustedSha256.append(session);
    }
    start();
}

void TlsConnectFlow::start()
{
    ++m_attempts;
    m_session.connectTo(m_target);
}

void TlsConnectFlow::onTlsStopped(const SessionController::TlsStop& stop)
{
    if (stop.reason == SessionController::TlsStop::Reason::Refused)
        refused(stop);
    else
        certificateFailed(stop);
}

void TlsConnectFlow::refused(const SessionController::TlsStop& stop)
{
    const QString server = serverKey();
    if (m_choice != ftp::TlsMode::IfOffered || m_attempts >= kMaxAttempts) {
        m_prompter.warning(m_window, dialogs::kAppTitle,
                           QStringLiteral("The server %1 does not offer TLS (%2).\n\nThis connection requires TLS, so "
                                          "nothing else was sent: neither the user name nor the password.")
                               .arg(server, stop.message));
        return;
    }
    const bool plain = m_prompter.question(
        m_window, QStringLiteral("No encryption"),
        QStringLiteral("The server %1 does not offer TLS.\n\nThe password and the files would cross the network "
                       "unencrypted: anyone on the way could read them.\n\nConnect without encryption?")
            .arg(server));
    if (!plain)
        return;
    m_target.tls = SessionController::plainTls();
    start();
}

void TlsConnectFlow::certificateFailed(const SessionController::TlsStop& stop)
{
    const ftp::PeerCertificate& certificate = stop.certificate;
    const QString server = serverKey();
    const int port = SessionController::portNumber(m_target.port);
    const CertificateTrustStore::Lookup stored = m_trust.trusted(m_target.address, port);
    QByteArray trusted = stored.sha256;
    if (trusted.isEmpty())
        trusted = m_sessionTrust.value(server);
    if (certificate.sha256.isEmpty() || m_attempts >= kMaxAttempts
        || (!trusted.isEmpty() && trusted == certificate.sha256)) {
        // Nothing to decide: no certificate to show, or the trusted one was refused for
        // another reason the route gave.
        m_prompter.warning(m_window, dialogs::kAppTitle,
                           QStringLiteral("Could not connect to %1.\n%2").arg(server, stop.message));
        return;
    }
    if (!trusted.isEmpty()) {
        m_prompter.warning(
            m_window, QStringLiteral("Certificate changed"),
            QStringLiteral("The certificate of %1 has changed since you trusted it, so the connection was refused.\n\n"
                           "Trusted: %2\nShown now: %3\n\nSomeone between you and the server may be listening in. "
                           "If the server's administrator confirms the new certificate (compare its SHA-256 "
                           "fingerprint), remove the line for %1 from %4 and connect again.\n\n%5")
                .arg(server, QString::fromLatin1(trusted.toHex(':').toUpper()), certificate.fingerprintText(),
                     m_trust.path(), certificateDetails(certificate)));
        return;
    }
    const QString problems = certificate.problems.isEmpty() ? stop.message : certificate.problems.join(QStringLiteral("; "));
    const int answer = m_prompter.choose(
        m_window, QStringLiteral("Certificate not verified"),
        QStringLiteral("The certificate of %1 could not be verified: %2.\n\nAnyone between you and the server could "
                       "show such a certificate. Trust it only when you know it is the server's: compare its "
                       "SHA-256 fingerprint with the one the server's administrator gives.")
            .arg(server, problems),
        certificateButtons(), certificateDetails(certificate));
    if (answer != 0 && answer != 1)
        return;  // Cancel, or the box closed: not connected, nothing sent but the handshake
    if (answer == 0) {
        if (const keys::StoreStatus saved = m_trust.trust(m_target.address, port, certificate.sha256); !saved.ok)
            m_prompter.warning(m_window, dialogs::kAppTitle,
                               saved.message + QStringLiteral("\nThe certificate is trusted for this session only."));
    }
    m_sessionTrust.insert(server, certificate.sha256);
    m_target.tls.trustedSha256.append(certificate.sha256);
    start();
}

}  // namespace zephra::app
