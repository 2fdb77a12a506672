// Ending an operation early: cancels, time-outs, and getting back in step with the server after a
// transfer was broken off. A time-out ends the operation within TimeOut plus about a second.
#include "ftp/Connection.h"

#include "ftp/ConnectionTransfer.h"
#include "ftp/ControlChannel.h"
#include "ftp/DataChannel.h"

namespace zephra::ftp {

namespace {

// How long a broken-off transfer's final reply is waited for before ABOR is sent (see
// abortTransfer for why it is not sent at once).
constexpr int kAbortGraceMs = 1500;

// After a time-out, how long getting back in step may take in all: no progress for TimeOut ms
// ends the operation within TimeOut plus this, or the session ends with it.
constexpr int kTimeOutResyncMs = 1000;

}  // namespace

void Connection::cancel()
{
    if (!m_busy)
        return;
    if (m_inStateSignal) {
        // A stateChanged() receiver: the step that changed the state still uses what a cancel
        // would free (a cancel from there crashed a download that had just connected its data).
        QMetaObject::invokeMethod(this, [this, operation = m_operation] {
            if (operation == m_operation)
                cancel();
        }, Qt::QueuedConnection);
        return;
    }
    const auto cancelLogin = [this] {
        m_control->abort();
        forgetSession();
        setState(State::Disconnected);
        finish(makeError(ErrorKind::Cancelled));
    };
    switch (m_state) {
    case State::Connecting:
    case State::AwaitingGreeting:
    case State::AwaitingUserReply:
    case State::AwaitingPassReply:
    case State::AwaitingFeatReply:
    case State::AwaitingOptsReply:
    case State::AwaitingAuthReply:
    case State::AwaitingTlsHandshake:
    case State::AwaitingPbszReply:
    case State::AwaitingProtReply:
        cancelLogin();
        break;
    case State::AwaitingPwdReply:
        if (!m_loggedIn)
            cancelLogin();
        else
            cancelCommand();
        break;
    case State::AwaitingDataConnection:
        // No data command has been sent: the session is in step.
        m_data->abort();
        releaseTransfer();
        setState(State::Idle);
        finish(makeError(ErrorKind::Cancelled));
        break;
    case State::AwaitingTransferStart:
    case State::Transferring:
        abortTransfer(makeError(ErrorKind::Cancelled), m_timeOut);
        break;
    case State::AwaitingCommandReply:
    case State::AwaitingCwdReply:
    case State::AwaitingRenameFromReply:
    case State::AwaitingSizeReply:
    case State::AwaitingPasvReply:
    case State::AwaitingPortReply:
    case State::AwaitingRestReply:
        cancelCommand();
        break;
    case State::AwaitingResync:    // already ending; its result is reported when it has ended
    case State::Disconnected:      // Disconnect() reports on its own
    case State::Idle:
        break;
    }
}

// A command on the control connection alone ends at once; its reply, still owed, is passed over
// when it comes, so it can not be taken for the answer to the next command.
void Connection::cancelCommand()
{
    m_data->abort();  // a listener of active mode
    releaseTransfer();
    // A directory change may or may not happen now: where the server is, is no longer known.
    if (m_state == State::AwaitingCwdReply || m_state == State::AwaitingPwdReply)
        m_currentDirectory.clear();
    if (std::exchange(m_typeSent, std::nullopt))
        m_binary = false;
    ++m_owedReplies;
    setState(State::Idle);
    finish(makeError(ErrorKind::Cancelled));
}

// The data command is outstanding: our end of the data connection closes, and the server's final
// reply about the transfer is awaited so the replies stay in step, for budgetMs at most.
//
// No ABOR goes out at once. A server may answer STOR with "150 File status okay. About to open
// data connection." and take up our (already connected) data connection only later; pyftpdlib
// 1.5.7, sent ABOR in that moment, answers "225 ABOR command successful; data channel closed."
// but keeps the upload pending, hands the next data connection to it, and the next RETR then
// waits for ever ("125 Data connection already open. Transfer starting." and no byte).
// So the connection is closed gracefully unless the server surely holds it: a reset connection
// still waiting in its accept queue is dropped by it, and the transfer never ends; a closed one
// is taken up and answered (226 for an upload read to its end, 426 for a download it can no
// longer send).
void Connection::abortTransfer(Result result, int budgetMs)
{
    Transfer& t = *m_transfer;
    if (t.finalReplyOk) {
        // The final reply has come already (only the data close was awaited): in step.
        failTransfer(result);
        return;
    }
    m_data->abort(t.serverHoldsData ? DataChannel::Ending::Reset : DataChannel::Ending::Graceful);
    releaseTransfer();
    m_resyncResult = result;
    m_aborSent = false;
    m_resyncBudget = qMax(2, budgetMs);
    m_resyncClock.start();
    setState(State::AwaitingResync);
    armWatchdog(qMin(kAbortGraceMs, m_resyncBudget / 2));
}

void Connection::onResyncReply(const Reply& reply)
{
    // Before ABOR, the first final reply ends the broken-off transfer (226 or 426 as a rule);
    // after ABOR, everything up to the NOOP's 200 belongs to it.
    if (m_aborSent ? reply.code == 200 : !reply.isPreliminary()) {
        setState(State::Idle);
        finish(*std::exchange(m_resyncResult, std::nullopt));
    }
}

void Connection::onWatchdog()
{
    // Data progress only notes the time (re-arming a timer per block costs); the rest of the
    // period is waited for here.
    const qint64 quiet = m_sinceProgress.elapsed();
    if (quiet < m_watchLimit) {
        m_watchdog.start(int(qMax<qint64>(1, m_watchLimit - quiet)));
        return;
    }
    const Result timeOut = makeError(ErrorKind::TimeOut);
    switch (m_state) {
    case State::AwaitingResync:
        if (!m_aborSent) {
            // The server said nothing about the transfer after the data connection closed: it
            // may be stuck in it. ABOR ends it; everything it says up to the NOOP's 200 belongs
            // to the transfer. What is left of the budget is all it gets.
            m_aborSent = true;
            sendCommand("ABOR");
            sendCommand("NOOP");
            armWatchdog(int(qMax<qint64>(1, m_resyncBudget - m_resyncClock.elapsed())));
            return;
        }
        break;  // not back in step in time: the session is lost, and that is what is reported
    case State::AwaitingDataConnection:
        // The server never accepted our data connection; no data command was sent.
        m_data->abort();
        releaseTransfer();
        setState(State::Idle);
        finish(timeOut);
        return;
    case State::AwaitingTransferStart:
    case State::Transferring:
        if (m_transfer && !m_transfer->dataClosed) {
            // No progress on the data connection: end the transfer, keep the session if the
            // server gets back in step at once (before, ABOR and NOOP each waited a whole
            // time-out again: 7.5 s for a 3 s time-out).
            abortTransfer(timeOut, kTimeOutResyncMs);
            return;
        }
        break;
    default:
        break;
    }
    // A reply did not come in time: later replies could no longer be matched to commands.
    dropSession(timeOut);
}

}  // namespace zephra::ftp

