// The direct route: a DirectWorker's libcurl session, naming every file by its full path in the
// route's directory.
#include "transfer/RemoteRoute.h"

#include "ftp/direct/DirectWorker.h"
#include "ftp/direct/RemoteName.h"
#include "transfer/LocalEnds.h"

namespace zephra::transfer {

namespace {

using ftp::direct::DirectError;
using ftp::direct::DirectResult;
using ftp::direct::DirectSession;
using ftp::direct::DirectWorker;

class DirectRoute final : public RemoteRoute {
public:
    DirectRoute(DirectWorker& worker, QByteArray directory, QObject* parent)
        : RemoteRoute(std::move(directory), parent), m_worker(worker)
    {
        connect(&m_worker, &DirectWorker::finished, this, &DirectRoute::onFinished);
        // libcurl counts a resumed transfer's bytes from its first one; reported over the whole file.
        connect(&m_worker, &DirectWorker::progress, this, [this](quint64 operation, qint64 done, qint64 total) {
            if (operation != 0 && operation == m_operation && !m_peeking)
                emit progress(m_from + done, total < 0 ? -1 : m_from + total);
        });
    }

    // The job holds its own share of the local ends, so they live as long as it runs.
    ~DirectRoute() override
    {
        disconnect(&m_worker, nullptr, this, nullptr);
        stop();
    }

protected:
    void send(std::shared_ptr<UploadSource> source, const QByteArray& name) override
    {
        m_source = source;
        m_from = source->from();
        m_peeking = false;
        const QByteArray target = path(name);
        m_operation = m_worker.run([source, target](DirectSession& session) {
            return session.putFrom([&source](char* buffer, qint64 max) { return source->read(buffer, max); },
                                   source->size() - source->from(), target, source->from());
        });
    }

    void receive(const QByteArray& name, std::shared_ptr<DownloadTarget> target) override
    {
        const QByteArray source = path(name);
        m_from = target->from();
        m_peeking = false;
        m_operation = m_worker.run([target, source](DirectSession& session) {
            return session.getTo(source, [&target](const char* data, qint64 size) { return target->write(data, size); },
                                 target->from());
        });
    }

    void fetchFirst(const QByteArray& name, qint64 n) override
    {
        const QByteArray source = path(name);
        m_from = 0;
        m_peeking = true;
        m_first = std::make_shared<QByteArray>();
        m_operation = m_worker.run([first = m_first, source, n](DirectSession& session) {
            return session.peek(source, n, first.get());
        });
    }

    void command(Command which, const QByteArray& name, const QByteArray& newName) override
    {
        m_from = 0;
        m_peeking = false;
        switch (which) {
        case Command::MakeDirectory: m_operation = m_worker.makeDirectory(path(name)); break;
        case Command::RemoveDirectory: m_operation = m_worker.removeDirectory(path(name)); break;
        case Command::Rename: m_operation = m_worker.rename(path(name), path(newName)); break;
        case Command::Remove: m_operation = m_worker.remove(path(name)); break;
        }
    }

    void stop() override
    {
        if (m_operation == 0)
            return;
        // The session first, then the reader it may be waiting in: a read failing because of
        // this cancel then always finds the session cancelled too (and the ending is mapped
        // from the cancel the route recorded anyway).
        m_worker.cancel();
        if (m_source)
            m_source->cancel();
    }

private:
    QByteArray path(const QByteArray& name) const { return ftp::direct::childPath(directory(), name); }

    void onFinished(quint64 operation, const DirectResult& result)
    {
        if (operation == 0 || operation != m_operation)
            return;
        m_operation = 0;
        m_source.reset();
        WireEnd end;
        end.ok = result.ok();
        end.cancelled = result.error == DirectError::Cancelled;
        end.started = result.transferStarted;
        end.refused = !result.transferStarted
                      && (result.error == DirectError::ServerRefused || result.error == DirectError::NotFound);
        end.why = result.message;
        end.bytes = m_from + result.bytesTransferred;
        end.kind = failureOf(result);
        if (std::exchange(m_peeking, false)) {
            end.bytes = 0;
            if (end.ok)
                end.firstBytes = *m_first;  // the job has ended: the worker no longer writes it
            m_first.reset();
        }
        wireEnded(end);
    }

    DirectWorker& m_worker;
    quint64 m_operation = 0;
    qint64 m_from = 0;  // the running transfer's first byte
    bool m_peeking = false;               // the running operation reads a file's first bytes
    std::shared_ptr<QByteArray> m_first;  // where it puts them
    std::shared_ptr<UploadSource> m_source;
};

}  // namespace

Outcome::Failure failureOf(const DirectResult& result)
{
    using Failure = Outcome::Failure;
    switch (result.error) {
    case DirectError::None: return Failure::None;
    case DirectError::HostNotFound:
    case DirectError::ConnectFailed: return Failure::Connection;
    case DirectError::LoginRefused: return Failure::Login;
    case DirectError::ServerRefused:
    case DirectError::NotFound: return Failure::Refused;
    case DirectError::ConnectionLost:
    case DirectError::Protocol:
        // The server answered the transfer with a failure ("451 Failure writing to local file."
        // from vsftpd whose disk filled up): it refused, as the engine route reports it.
        if (result.replyCode >= 400)
            return Failure::Refused;
        return result.error == DirectError::Protocol ? Failure::Other : Failure::Broken;
    case DirectError::TimedOut:
    case DirectError::DataConnection: return Failure::Broken;
    case DirectError::LocalFile: return Failure::LocalFile;
    case DirectError::InvalidArgument:
    case DirectError::NotOpen:
    case DirectError::Certificate:   // only a login meets these: the session's open, or a new
    case DirectError::TlsRefused:    // login after the server dropped an idle connection
    case DirectError::TlsHandshake:
    case DirectError::Cancelled: break;
    }
    return Failure::Other;
}

std::unique_ptr<RemoteRoute> makeDirectRoute(DirectWorker& worker, QByteArray directory, QObject* parent)
{
    return std::make_unique<DirectRoute>(worker, std::move(directory), parent);
}

}  // namespace zephra::transfer
