// The engine route: the window's one ftp::Connection. Each operation first makes sure the
// server's confirmed current directory is the route's, then names files bare.
#include "transfer/RemoteRoute.h"

#include "ftp/Connection.h"
#include "ftp/Listing.h"
#include "ftp/Result.h"
#include "transfer/LocalEnds.h"

#include <QTimer>

#include <functional>

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

// Keeps the first bytes of a download and refuses any beyond them: the engine then breaks the
// transfer off and gets back in step with the server (ConnectionAbort.cpp), and the session
// goes on. A refusal after the device was full is the end of a peek, not a failure.
class FirstBytesDevice final : public QIODevice {
public:
    explicit FirstBytesDevice(qint64 wanted) : m_wanted(wanted) { open(QIODevice::WriteOnly | QIODevice::Unbuffered); }
    const QByteArray& bytes() const { return m_bytes; }
    bool isFull() const { return m_bytes.size() >= m_wanted; }
    bool isSequential() const override { return true; }

protected:
    qint64 readData(char*, qint64) override { return -1; }
    qint64 writeData(const char* data, qint64 size) override
    {
        const qint64 taken = qMin(size, m_wanted - m_bytes.size());
        m_bytes.append(data, qsizetype(taken));
        if (taken < size) {
            setErrorString(QStringLiteral("only the first bytes were wanted"));
            return -1;
        }
        return size;
    }

private:
    const qint64 m_wanted;
    QByteArray m_bytes;
};

class EngineRoute final : public RemoteRoute {
public:
    EngineRoute(ftp::Connection& engine, QByteArray directory, QObject* parent)
        : RemoteRoute(std::move(directory), parent), m_engine(engine)
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
        if (m_first)
            releaseLater(std::move(m_first));
    }

protected:
    void send(std::shared_ptr<UploadSource> source, const QByteArray& name) override
    {
        m_source = std::move(source);
        inDirectory(Step::Transfer, [this, name] { m_engine.PutFile(name, m_source->device(), m_source->size(), m_source->from()); });
    }

    void receive(const QByteArray& name, std::shared_ptr<DownloadTarget> target) override
    {
        m_target = std::move(target);
        inDirectory(Step::Transfer, [this, name] { m_engine.GetFile(name, m_target->device(), m_target->from()); });
    }

    void fetchFirst(const QByteArray& name, qint64 n) override
    {
        m_first = std::make_shared<FirstBytesDevice>(n);
        inDirectory(Step::Peek, [this, name] { m_engine.GetFile(name, m_first.get(), 0); });
    }

    void command(Command which, const QByteArray& name, const QByteArray& newName) override
    {
        inDirectory(Step::Command, [this, which, name, newName] {
            switch (which) {
            case Command::MakeDirectory: return m_engine.MakeDirectory(name);
            case Command::RemoveDirectory: return m_engine.RemoveDirectory(name);
            case Command::Rename: return m_engine.Rename(name, newName);
            case Command::Remove: return m_engine.RemoveFile(name);
            }
        });
    }

    void stop() override
    {
        if (m_step != Step::None)
            m_engine.cancel();
    }

private:
    enum class Step { None, Entering, Transfer, Command, Peek };

    // Runs start (an operation of kind step) in the route's directory: at once when the engine
    // is confirmed there, else after a change there that the server confirms (CWD, then PWD).
    void inDirectory(Step step, std::function<void()> start)
    {
        m_bytes = 0;
        m_commandSent = false;
        m_started = false;
        if (directory().isEmpty() || m_engine.currentDirectory() == directory()) {
            m_step = step;
            return start();
        }
        m_step = Step::Entering;
        m_next = step;
        m_start = std::move(start);
        m_engine.ChangeDirectory(directory());
    }

    void onFinished(const ftp::Result& result)
    {
        if (m_step == Step::None)
            return;  // an operation of someone else
        const Step step = std::exchange(m_step, Step::None);
        if (step == Step::Entering)
            return entered(result);
        if (step == Step::Peek)
            return peekEnded(result);
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

    void peekEnded(const ftp::Result& result)
    {
        WireEnd end;
        const std::shared_ptr<FirstBytesDevice> first = std::exchange(m_first, nullptr);
        // The device refusing more than it wanted ends the transfer as a local failure: here
        // that is the peek done.
        end.ok = result.ok() || (result.kind == ftp::ErrorKind::LocalFile && first->isFull());
        end.cancelled = result.kind == ftp::ErrorKind::Cancelled;
        end.why = describe(result);
        end.kind = failureOf(result);
        if (end.ok)
            end.firstBytes = first->bytes();
        releaseLater(first);  // the engine may still hold it until its abort has run
        wireEnded(end);
    }

    void entered(const ftp::Result& result)
    {
        const QString shown = ftp::decodeServerName(directory());
        WireEnd end;
        end.commandSent = false;
        end.cancelled = result.kind == ftp::ErrorKind::Cancelled;
        if (!result.ok()) {
            end.why = QStringLiteral("Cannot change to the directory %1: %2").arg(shown, describe(result));
            end.kind = failureOf(result);
        } else if (m_engine.currentDirectory() != directory()) {
            // A server that maps names (a link, a virtual root) may confirm another path: then
            // nothing runs, since it would act somewhere the window does not show.
            end.why = QStringLiteral("The server went to %1 instead of %2.")
                          .arg(ftp::decodeServerName(m_engine.currentDirectory()), shown);
        } else if (!cancelRequested()) {
            m_step = m_next;
            return std::exchange(m_start, {})();
        }
        m_start = {};
        m_source.reset();
        m_target.reset();
        if (m_first)
            releaseLater(std::exchange(m_first, nullptr));
        wireEnded(end);
    }

    ftp::Connection& m_engine;
    Step m_step = Step::None;
    Step m_next = Step::None;            // what runs once the directory is confirmed
    std::function<void()> m_start;
    qint64 m_bytes = 0;          // of the running transfer, as the engine reported them
    bool m_commandSent = false;  // the running transfer's command went out
    bool m_started = false;      // the server took it
    std::shared_ptr<UploadSource> m_source;
    std::shared_ptr<DownloadTarget> m_target;
    std::shared_ptr<FirstBytesDevice> m_first;  // a peek's
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

std::unique_ptr<RemoteRoute> makeEngineRoute(ftp::Connection& engine, QByteArray directory, QObject* parent)
{
    return std::make_unique<EngineRoute>(engine, std::move(directory), parent);
}

}  // namespace zephra::transfer
