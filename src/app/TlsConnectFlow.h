#pragma once
// Connecting with a profile's TLS choice, and the questions TLS raises on the way.
//
//   Require TLS                  TLS or nothing; a server that refuses AUTH TLS gets a warning
//                                and nothing else: no user name, no password.
//   TLS if the server offers it  connects as Require does; a server that refuses AUTH TLS gets a
//                                plain session only when the user says Yes to a plain question.
//   Plain FTP                    as before.
//
// A certificate that does not verify (self-signed, expired, another host name) is shown with its
// subject, issuer, validity and SHA-256 fingerprint: "Trust this certificate always" (kept in
// trusted-certs.dat), "Trust it for this session" (kept while the window lives) or "Cancel";
// trusted, the connect runs again with the fingerprint in TlsOptions::trustedSha256. A server
// whose trusted certificate changed is refused with a warning and never asked about: a changed
// certificate is exactly what an attacker in between would show.

#include "app/CertificateTrustStore.h"
#include "app/SessionController.h"

#include <QHash>
#include <QObject>

class QWidget;

namespace zephra::dialogs {
class Prompter;
}

namespace zephra::app {

class TlsConnectFlow final : public QObject {
    Q_OBJECT
public:
    TlsConnectFlow(SessionController& session, dialogs::Prompter& prompter, const QString& appDir,
                   QWidget* window);

    // target without its tls options: they come from choice and the trusted certificates.
    void connectTo(const SessionController::Target& target, ftp::TlsMode choice);

    // A report of the session is waiting for its question (the session itself is idle then).
    bool isPending() const { return m_pending > 0; }

    // The captions of the certificate question, in order.
    static const QStringList& certificateButtons();
    // The certificate's fields as the question shows them.
    static QString certificateDetails(const ftp::PeerCertificate& certificate);

private:
    void start();
    void onTlsStopped(const SessionController::TlsStop& stop);
    void refused(const SessionController::TlsStop& stop);
    void certificateFailed(const SessionController::TlsStop& stop);
    QString serverKey() const;

    SessionController& m_session;
    dialogs::Prompter& m_prompter;
    CertificateTrustStore m_trust;
    QWidget* m_window;
    SessionController::Target m_target;
    ftp::TlsMode m_choice = ftp::TlsMode::IfOffered;
    int m_pending = 0;
    int m_attempts = 0;  // connects run for this click: a bound on the loop of questions
    // "Trust it for this session": host:port -> SHA-256, for the window's life.
    QHash<QString, QByteArray> m_sessionTrust;
};

}  // namespace zephra::app
