// The engine route: the window's one ftp::Connection, in the server's current directory.
#include "transfer/RemoteRoute.h"

#include "ftp/Connection.h"
#include "ftp/Result.h"
#include "transfer/LocalEnds.h"

#include <QTimer>

namespace zephra::transfer {

namespace {

// The one line of a failure, with the server's own words when they add something.
QString describe(const ftp::Result& result)
{
    QString why = result.description;
    const QString server = result.serverText.trimmed();
    if (result.kind == ftp::ErrorKind::Reply && !server.isEmpty() && !why.contains(server))
        why += QStringLiteral(" (") + server + u')';
    return why;
}

// Keeps something alive until the event loop comes round again.
template <typename T>
void releaseLater(std::shared_ptr<T> kept)
{
    auto* holder = new QObject;
    QObject::connect(holder, &QObject::destroyed, [kept = std::move(kept)] {});
    holder->deleteLater();
}

class EngineRoute final : public RemoteRoute {
public:
    EngineRoute(ftp::Connection& engine, QObject* parent) : RemoteRoute(parent), m_engine(engine)
    {
        connect(&m_engine, &ftp::Connection::finished, this, &EngineRoute::onFinished);
        connect(&m_engine, &ftp::Connection::stateChanged, this, [this](ftp::Connection::State state) {
            if (m_step != Step::Transfer)
                return;
            if (state == ftp::Connection::State::AwaitingTransferStart)
                m_commandSent = true;  // the engine sends the transfer command as it enters this state
            else if (state == ftp::Connection::State::Transferring)
                m_started = true;
        });
        connect(&m_engine, &ftp::Connection::transferProgress, this, [this](qint64 done, qint64 total) {
            if (m_step != Step::Transfer)
                return;
            m_bytes = done;
            emit progress(done, total);
        });
    }

    ~EngineRoute() override
    {
        disconnect(&m_engine, nullptr, this, nullptr);
        if (m_step == Step::None)
            return;
        m_engine.cancel();
        // The engine may still hold the device until its cancel has run, so the local ends go
        // later; a cipher thread stops now, and a download's target stays as it was.
        if (m_source) {
            m_source->cancel();
            releaseLater(std::move(m_source));
        }
        if (m_target) {
            m_target->abort();
            releaseLater(std::move(m_target));
        }
    }

protected:
    void send(std::shared_ptr<UploadSource> source, const QString& name) override
    {
        start(Step::Transfer);
        m_source = std::move(source);
        m_engine.PutFile(name, m_source->device(), m_source->size());
    }

    void receive(const QString& name, std::shared_ptr<DownloadTarget> target) override
    {
        start(Step::Transfer);
        m_target = std::move(target);
        m_engine.GetFile(name, m_target->device());
    }

    void command(Command which, const QString& name, const QString& newName) override
    {
        start(Step::Command);
        switch (which) {
        case Command::MakeDirectory: return m_engine.MakeDirectory(name);
        case Command::RemoveDirectory: return m_engine.RemoveDirectory(name);
        case Command::Rename: return m_engine.Rename(name, newName);
        case Command::Remove: return m_engine.RemoveFile(name);
        }
    }

    void stop() override
    {
        if (m_step != Step::None)
            m_engine.cancel();
    }

private:
    enum class Step { None, Transfer, Command };

    void start(Step step)
    {
        m_step = step;
        m_bytes = 0;
        m_commandSent = false;
        m_started = false;
    }

    void onFinished(const ftp::Result& result)
    {
        if (m_step == Step::None)
            return;  // an operation of someone else
        m_step = Step::None;
        WireEnd end;
        end.ok = result.ok();
        end.cancelled = result.kind == ftp::ErrorKind::Cancelled;
        end.commandSent = m_commandSent;
        end.started = m_started;
        end.refused = result.kind == ftp::ErrorKind::Reply && !m_started;
        end.why = describe(result);
        end.bytes = m_bytes;
        end.kind = failureOf(result);
        m_source.reset();
        m_target.reset();
        wireEnded(end);
    }

    ftp::Connection& m_engine;
    Step m_step = Step::None;
    qint64 m_bytes = 0;          // of the running transfer, as the engine reported them
    bool m_commandSent = false;  // the running transfer's command went out
    bool m_started = false;      // the server took it
    std::shared_ptr<UploadSource> m_source;
    std::shared_ptr<DownloadTarget> m_target;
};

}  // namespace

Outcome::Failure failureOf(const ftp::Result& result)
{
    using Kind = ftp::ErrorKind;
    using Failure = Outcome::Failure;
    switch (result.kind) {
    case Kind::None: return Failure::None;
    case Kind::Reply: return Failure::Refused;
    case Kind::ConnectFailed: return Failure::Connection;
    case Kind::TimeOut:
    case Kind::DataConnection:
    case Kind::TransferAborted:
    case Kind::ServerClosed: return Failure::Broken;
    case Kind::LocalFile: return Failure::LocalFile;
    case Kind::ProtocolError:
    case Kind::Cancelled:
    case Kind::NotConnected:
    case Kind::Busy:
    case Kind::InvalidName:
    case Kind::ListingTooLarge: break;
    }
    return Failure::Other;
}

std::unique_ptr<RemoteRoute> makeEngineRoute(ftp::Connection& engine, QObject* parent)
{
    return std::make_unique<EngineRoute>(engine, parent);
}

}  // namespace zephra::transfer
