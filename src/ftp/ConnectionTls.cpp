// FTP over TLS (RFC 4217): AUTH TLS, the control connection's handshake and certificate, PBSZ and
// PROT, and the TLS settings each data connection gets to resume the control connection's session.
#include "ftp/Connection.h"

#include "ftp/ConnectionTransfer.h"
#include "ftp/ControlChannel.h"
#include "ftp/DataChannel.h"
#include "ftp/TlsSetup.h"

namespace zephra::ftp {

void Connection::startLogin()
{
    if (!wantsTls() || m_control->isEncrypted()) {
        if (m_control->isEncrypted())
            startCommand(State::AwaitingPbszReply, "PBSZ 0");  // implicit TLS: already up
        else
            startCommand(State::AwaitingUserReply, std::exchange(m_pendingCommand, QByteArray()));
        return;
    }
    startCommand(State::AwaitingAuthReply, "AUTH TLS");
}

void Connection::onTlsReply(const Reply& reply)
{
    const bool error = isErrorReply(reply);
    if (reply.isPreliminary() && !error)
        return;
    switch (m_state) {
    case State::AwaitingAuthReply:
        if (reply.code == 234) {
            setState(State::AwaitingTlsHandshake);
            m_control->startTls(tlsClientConfiguration(m_tlsOptions));
            armWatchdog();
            return;
        }
        if (m_tlsOptions.mode == TlsMode::Require) {
            // Not even QUIT: under Require nothing but AUTH goes out in the clear.
            dropSession(makeError(ErrorKind::TlsRefused, reply.code, reply.lastLine()));
            return;
        }
        // "TLS if the server offers it": it does not; the caller sees isTlsActive() false.
        startCommand(State::AwaitingUserReply, std::exchange(m_pendingCommand, QByteArray()));
        return;
    case State::AwaitingPbszReply:
        // Only PROT decides; a server that does without PBSZ may still take PROT P.
        startCommand(State::AwaitingProtReply, "PROT P");
        return;
    case State::AwaitingProtReply:
        if (error || reply.code / 100 != 2) {
            // Data would travel in the clear: that is no TLS session.
            dropSession(makeError(ErrorKind::TlsRefused, reply.code, reply.lastLine()));
            return;
        }
        m_protectData = true;
        m_tlsActive = true;
        startCommand(State::AwaitingUserReply, std::exchange(m_pendingCommand, QByteArray()));
        return;
    default:
        return;
    }
}

void Connection::onControlSslErrors(const QList<QSslError>& errors)
{
    const QSslCertificate certificate = m_control->peerCertificate();
    if (isTrustedCertificate(certificate, m_tlsOptions)) {
        m_control->ignoreSslErrors();
        return;
    }
    m_certificateRejected = true;
    m_peerCertificate = describeCertificate(certificate, errors);
}

void Connection::onControlEncrypted()
{
    if (!m_certificateRejected)
        m_peerCertificate = describeCertificate(m_control->peerCertificate(), {});
    m_controlTicket = m_control->sessionTicket();
    m_newestTicket = m_controlTicket;
    if (m_state != State::AwaitingTlsHandshake)
        return;
    if (m_tlsOptions.implicit) {
        // Implicit TLS: the greeting comes now, encrypted.
        setState(State::AwaitingGreeting);
        armWatchdog();
        return;
    }
    startCommand(State::AwaitingPbszReply, "PBSZ 0");
}

void Connection::onControlTlsFailed(const QString& reason)
{
    if (m_certificateRejected) {
        const QString why = m_peerCertificate.problems.join(QStringLiteral("; "));
        dropSession(makeError(ErrorKind::Certificate, 0,
                              QStringLiteral("%1 (SHA-256 %2)").arg(why, m_peerCertificate.fingerprintText())));
        return;
    }
    dropSession(makeError(ErrorKind::TlsFailed, 0, reason));
}

// The data connection resumes the session with the newest ticket: TLS 1.3 tickets come after
// the handshake and are meant for one use; the control connection keeps receiving them, and
// each resumed data connection may bring another.
void Connection::prepareDataTls()
{
    if (!m_protectData) {
        m_data->setTls(std::nullopt);
        return;
    }
    const QByteArray controlTicket = m_control->sessionTicket();
    if (controlTicket != m_controlTicket) {
        m_controlTicket = controlTicket;
        m_newestTicket = controlTicket;
    }
    QSslConfiguration configuration = tlsClientConfiguration(m_tlsOptions);
    configuration.setSessionTicket(m_newestTicket.isEmpty() ? controlTicket : m_newestTicket);
    m_data->setTls(DataChannel::Tls{configuration, m_host, m_control->peerCertificate()});
}

// A data connection whose handshake failed is reported with the server's word on it (vsftpd:
// "522 SSL connection failed: session reuse required"), never as a plain success.
Result Connection::dataFailure(const Reply& reply) const
{
    const Transfer& t = *m_transfer;
    if (t.failure && t.failure->kind == ErrorKind::TlsFailed)
        return makeError(ErrorKind::TlsFailed, reply.code, reply.lastLine());
    return t.failure ? *t.failure : makeError(ErrorKind::Reply, reply.code, reply.lastLine());
}

}  // namespace zephra::ftp
