#pragma once
// Runs a DirectSession on a thread of its own, so that no window waits for the network.
//
// Every call queues one operation and returns its number at once; the operations run one after
// another in the order queued, on the worker thread, and each ends with finished(number, result)
// delivered to the caller's thread. The session itself is only ever touched by the worker thread.

#include "ftp/direct/DirectSession.h"

#include <QObject>
#include <QThread>

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>

namespace zephra::ftp::direct {

class DirectWorker final : public QObject {
    Q_OBJECT
public:
    explicit DirectWorker(DirectOptions options = {}, QObject* parent = nullptr);
    // Cancels what is queued, closes the session (QUIT, bounded by the reply time-out) and stops
    // the thread.
    ~DirectWorker() override;

    quint64 open(const QString& server, int port, const QString& user, const QString& password,
                 const QString& agent = QString());
    // Paths are the server's bytes, as DirectSession takes them.
    quint64 enterDirectory(const QByteArray& directory);
    quint64 list(const QByteArray& directory);  // listed() before finished() on success
    quint64 get(const QByteArray& remotePath, const QString& localPath);
    quint64 put(const QString& localPath, const QByteArray& remotePath);
    quint64 makeDirectory(const QByteArray& remotePath);
    quint64 removeDirectory(const QByteArray& remotePath);
    quint64 rename(const QByteArray& fromPath, const QByteArray& toPath);
    quint64 remove(const QByteArray& remotePath);
    quint64 close();  // never cancelled, never fails
    // Any other work on the session (a streaming transfer, several steps in a row), run on the
    // worker thread as one operation. The job must not keep the session reference.
    quint64 run(std::function<DirectResult(DirectSession&)> job);

    // Cancels the running operation and every one queued before this call; operations queued
    // later run normally. A cancelled operation finishes with DirectError::Cancelled.
    void cancel();

    // Whether the session runs over TLS, as the last finished operation left it (after open():
    // whether the login settled on TLS). Any thread.
    bool isTlsActive() const { return m_tlsActive.load(); }

signals:
    void progress(quint64 operation, qint64 done, qint64 total);
    // Every command and reply line of the session (DirectSession::setProtocolLineHandler),
    // emitted on the worker thread: receivers on other threads get it queued, in order.
    void protocolLine(const QString& line, bool sent);
    void listed(quint64 operation, const QList<zephra::ftp::direct::DirectEntry>& entries);
    void finished(quint64 operation, const zephra::ftp::direct::DirectResult& result);

private:
    quint64 enqueue(std::function<DirectResult(DirectSession&, quint64)> job, bool cancellable = true);

    QThread m_thread;
    QObject* m_context = nullptr;  // lives on m_thread; queued jobs run in its thread
    std::unique_ptr<DirectSession> m_session;
    std::mutex m_mutex;            // guards the two numbers below and the session's cancel flag
    quint64 m_lastQueued = 0;
    quint64 m_cancelUpTo = 0;
    qint64 m_lastProgressMs = 0;   // worker thread only
    quint64 m_running = 0;         // worker thread only: the operation being run
    std::atomic<bool> m_tlsActive{false};
};

}  // namespace zephra::ftp::direct

Q_DECLARE_METATYPE(zephra::ftp::direct::DirectResult)
Q_DECLARE_METATYPE(zephra::ftp::direct::DirectEntry)
