#include "ftp/direct/DirectWorker.h"

#include <QDateTime>

namespace zephra::ftp::direct {

namespace {
constexpr qint64 kProgressIntervalMs = 100;  // enough for a progress bar, cheap for the UI thread
}

DirectWorker::DirectWorker(DirectOptions options, QObject* parent)
    : QObject(parent)
    , m_session(std::make_unique<DirectSession>(options))
{
    qRegisterMetaType<DirectResult>();
    qRegisterMetaType<QList<DirectEntry>>();
    m_thread.setObjectName(QStringLiteral("zephra-direct"));
    m_context = new QObject;
    m_context->moveToThread(&m_thread);
    connect(&m_thread, &QThread::finished, m_context, &QObject::deleteLater);
    m_session->setProgressHandler([this](qint64 done, qint64 total) {
        const qint64 now = QDateTime::currentMSecsSinceEpoch();
        if (done != total && now - m_lastProgressMs < kProgressIntervalMs)
            return;
        m_lastProgressMs = now;
        emit progress(m_running, done, total);
    });
    m_session->setProtocolLineHandler([this](const QString& line, bool sent) { emit protocolLine(line, sent); });
    m_thread.start();
}

DirectWorker::~DirectWorker()
{
    cancel();
    close();
    // Quit from inside the thread, after the close queued above has run.
    QMetaObject::invokeMethod(m_context, [this] { m_thread.quit(); }, Qt::QueuedConnection);
    m_thread.wait();
    m_session.reset();
}

quint64 DirectWorker::enqueue(std::function<DirectResult(DirectSession&, quint64)> job, bool cancellable)
{
    quint64 id = 0;
    {
        std::lock_guard lock(m_mutex);
        id = ++m_lastQueued;
    }
    QMetaObject::invokeMethod(m_context, [this, id, job = std::move(job), cancellable] {
        bool skip = false;
        {
            std::lock_guard lock(m_mutex);
            if (cancellable && id <= m_cancelUpTo)
                skip = true;
            else
                m_session->resetCancel();
        }
        m_lastProgressMs = 0;
        m_running = id;
        DirectResult r;
        if (skip) {
            r.error = DirectError::Cancelled;
            r.message = QStringLiteral("Cancelled.");
        } else {
            r = job(*m_session, id);
        }
        m_tlsActive.store(m_session->isTlsActive());
        emit finished(id, r);
    }, Qt::QueuedConnection);
    return id;
}

void DirectWorker::cancel()
{
    std::lock_guard lock(m_mutex);
    m_cancelUpTo = m_lastQueued;
    m_session->cancel();
}

quint64 DirectWorker::open(const QString& server, int port, const QString& user, const QString& password,
                           const QString& agent)
{
    return enqueue([=](DirectSession& s, quint64) { return s.open(server, port, user, password, agent); });
}

quint64 DirectWorker::enterDirectory(const QByteArray& directory)
{
    return enqueue([=](DirectSession& s, quint64) { return s.enterDirectory(directory); });
}

quint64 DirectWorker::list(const QByteArray& directory)
{
    return enqueue([this, directory](DirectSession& s, quint64 id) {
        QList<DirectEntry> entries;
        DirectResult r = s.list(directory, &entries);
        if (r.ok())
            emit listed(id, entries);
        return r;
    });
}

quint64 DirectWorker::get(const QByteArray& remotePath, const QString& localPath)
{
    return enqueue([=](DirectSession& s, quint64) { return s.get(remotePath, localPath); });
}

quint64 DirectWorker::put(const QString& localPath, const QByteArray& remotePath)
{
    return enqueue([=](DirectSession& s, quint64) { return s.put(localPath, remotePath); });
}

quint64 DirectWorker::makeDirectory(const QByteArray& remotePath)
{
    return enqueue([=](DirectSession& s, quint64) { return s.makeDirectory(remotePath); });
}

quint64 DirectWorker::removeDirectory(const QByteArray& remotePath)
{
    return enqueue([=](DirectSession& s, quint64) { return s.removeDirectory(remotePath); });
}

quint64 DirectWorker::rename(const QByteArray& fromPath, const QByteArray& toPath)
{
    return enqueue([=](DirectSession& s, quint64) { return s.rename(fromPath, toPath); });
}

quint64 DirectWorker::remove(const QByteArray& remotePath)
{
    return enqueue([=](DirectSession& s, quint64) { return s.remove(remotePath); });
}

quint64 DirectWorker::close()
{
    return enqueue([](DirectSession& s, quint64) {
        s.close();
        return DirectResult{};
    }, false);
}

quint64 DirectWorker::run(std::function<DirectResult(DirectSession&)> job)
{
    return enqueue([job = std::move(job)](DirectSession& s, quint64) { return job(s); });
}

}  // namespace zephra::ftp::direct
