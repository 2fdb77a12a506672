#include "transfer/RemoteRoute.h"

#include "crypto/Engine.h"
#include "ftp/Connection.h"
#include "ftp/Result.h"
#include "ftp/direct/DirectWorker.h"
#include "ftp/direct/RemoteName.h"
#include "transfer/CipherStreams.h"

#include <QFileInfo>
#include <QMetaObject>
#include <QTimer>

namespace zephra::transfer {

bool RemoteRoute::begin()
{
    if (!m_busy) {
        m_busy = true;
        return true;
    }
    // Reported later, like every outcome, so callers never see finished() inside their call.
    QTimer::singleShot(0, this, [this] { emit finished(Outcome::failure(QStringLiteral("Another operation is still running."))); });
    return false;
}

void RemoteRoute::finish(const Outcome& outcome)
{
    m_busy = false;
    emit finished(outcome);
}

namespace {

using crypto::Direction;

// Nothing is sent for a file that cannot be read; the check spares the server a part file.
QString unreadable(const QString& localPath)
{
    const QFileInfo info(localPath);
    if (!info.exists())
        return QStringLiteral("%1 does not exist.").arg(localPath);
    if (!info.isFile())
        return QStringLiteral("%1 is not a file.").arg(localPath);
    if (!info.isReadable())
        return QStringLiteral("%1 cannot be read.").arg(localPath);
    return {};
}

// The reader of an encrypted upload, opened; empty text on success, else why nothing is sent.
QString openReader(const QString& localPath, const crypto::Cipher& cipher, std::unique_ptr<CipherReader>& reader)
{
    if (QString why = unreadable(localPath); !why.isEmpty())
        return why;
    reader = std::make_unique<CipherReader>(cipher, Direction::Encrypt);
    QString error;
    return reader->open(localPath, &error) ? QString() : error;
}

// A stream that owns a share of the cipher it runs: when the last user lets go, the stream goes
// first (its thread stopped) and the cipher after it.
template <typename Stream>
std::shared_ptr<Stream> withCipher(std::unique_ptr<Stream> stream, std::shared_ptr<const crypto::Cipher> cipher)
{
    struct Holder {
        std::shared_ptr<const crypto::Cipher> cipher;
        std::unique_ptr<Stream> stream;  // destroyed before the cipher
    };
    auto holder = std::make_shared<Holder>(Holder{std::move(cipher), std::move(stream)});
    return std::shared_ptr<Stream>(holder, holder->stream.get());
}

class EngineRoute final : public RemoteRoute {
public:
    EngineRoute(ftp::Connection& engine, QObject* parent) : RemoteRoute(parent), m_engine(engine)
    {
        connect(&m_engine, &ftp::Connection::finished, this, &EngineRoute::onFinished);
        connect(&m_engine, &ftp::Connection::transferProgress, this, [this](qint64 done, qint64 total) {
            if (m_step == Step::Put || m_step == Step::Get)
                emit progress(done, total);
        });
    }

    ~EngineRoute() override
    {
        disconnect(&m_engine, nullptr, this, nullptr);
        if (m_step != Step::None) {
            m_engine.cancel();
            // The engine may still hold the device until its cancel has run, so the device goes
            // later; its cipher thread stops now, and the cipher outlives the device.
            if (m_source) {
                m_source->reader().cancel();
                releaseLater(m_source.release());
            }
            if (m_sink) {
                m_sink->writer().abort();
                releaseLater(m_sink.release());
            }
        }
    }

    void upload(const QString& localPath, const QString& name) override
    {
        if (!begin())
            return;
        if (const QString why = unreadable(localPath); !why.isEmpty())
            return later(Outcome::failure(why));
        startPut(name);
        m_engine.PutFile(partName(name), localPath);
    }

    void uploadEncrypted(const QString& localPath, const QString& name,
                         std::shared_ptr<const crypto::Cipher> cipher) override
    {
        if (!begin())
            return;
        std::unique_ptr<CipherReader> reader;
        if (const QString why = openReader(localPath, *cipher, reader); !why.isEmpty())
            return later(Outcome::failure(why));
        const qint64 size = reader->size();
        m_cipher = std::move(cipher);
        m_source = std::make_unique<CipherSourceDevice>(std::move(reader));
        if (!m_source->isOpen())
            m_source->open(QIODevice::ReadOnly);
        emit stageChanged(Stage::Sending);
        startPut(name);
        m_engine.PutFile(partName(name), m_source.get(), size);
    }

    void download(const QString& name, const QString& localPath) override
    {
        if (!begin())
            return;
        m_step = Step::Get;
        m_engine.GetFile(name, localPath);
    }

    void downloadDecrypted(const QString& name, const QString& localPath,
                           std::shared_ptr<const crypto::Cipher> cipher) override
    {
        if (!begin())
            return;
        auto writer = std::make_unique<CipherWriter>(*cipher, Direction::Decrypt);
        QString error;
        if (!writer->open(localPath, &error))
            return later(Outcome::failure(error));
        m_cipher = std::move(cipher);
        m_sink = std::make_unique<CipherSinkDevice>(std::move(writer));
        if (!m_sink->isOpen())
            m_sink->open(QIODevice::WriteOnly);
        m_step = Step::Get;
        m_engine.GetFile(name, m_sink.get());
    }

    void makeDirectory(const QString& name) override { simple([&] { m_engine.MakeDirectory(name); }); }
    void removeDirectory(const QString& name) override { simple([&] { m_engine.RemoveDirectory(name); }); }
    void rename(const QString& from, const QString& to) override { simple([&] { m_engine.Rename(from, to); }); }
    void remove(const QString& name) override { simple([&] { m_engine.RemoveFile(name); }); }

    void cancel() override
    {
        if (m_step == Step::None)
            return;
        m_cancelRequested = true;
        // The short commands after an upload (rename, removing the part) run to their end.
        if (m_step == Step::Put || m_step == Step::Get || m_step == Step::Simple)
            m_engine.cancel();
    }

private:
    enum class Step { None, Put, Rename, CleanPart, Get, Simple };

    template <typename Start>
    void simple(Start start)
    {
        if (!begin())
            return;
        m_step = Step::Simple;
        start();
    }

    void startPut(const QString& name)
    {
        m_name = name;
        m_step = Step::Put;
    }

    void later(const Outcome& outcome)
    {
        m_step = Step::None;
        QTimer::singleShot(0, this, [this, outcome] { done(outcome); });
    }

    Outcome outcomeOf(const ftp::Result& result) const
    {
        if (result.ok())
            return Outcome::success();
        if (result.kind == ftp::ErrorKind::Cancelled || m_cancelRequested)
            return Outcome::cancel();
        QString why = result.description;
        const QString server = result.serverText.trimmed();
        if (result.kind == ftp::ErrorKind::Reply && !server.isEmpty() && !why.contains(server))
            why += QStringLiteral(" (") + server + u')';
        return Outcome::failure(why);
    }

    void onFinished(const ftp::Result& result)
    {
        const Step step = std::exchange(m_step, Step::None);
        switch (step) {
        case Step::None:
            return;  // an operation of someone else
        case Step::Put: {
            Outcome outcome = outcomeOf(result);
            if (m_source) {
                const QString readError = m_source->reader().errorString();
                if (!outcome.ok && !outcome.cancelled && !readError.isEmpty())
                    outcome.message = readError;
                m_source.reset();
            }
            if (outcome.ok && !m_cancelRequested) {
                m_step = Step::Rename;
                m_engine.Rename(partName(m_name), m_name);
                return;
            }
            return cleanPart(outcome.ok ? Outcome::cancel() : outcome);
        }
        case Step::Rename: {
            const Outcome outcome = outcomeOf(result);
            if (outcome.ok)
                return done(outcome);
            return cleanPart(Outcome::failure(QStringLiteral("The upload could not be renamed to %1: %2")
                                                  .arg(m_name, outcome.message)));
        }
        case Step::CleanPart:
            return done(m_pending);
        case Step::Get: {
            Outcome outcome = outcomeOf(result);
            if (m_sink) {
                CipherWriter& writer = m_sink->writer();
                if (outcome.ok) {
                    emit stageChanged(Stage::Decrypting);
                    QString error;
                    if (!writer.commit(&error))
                        outcome = Outcome::failure(error);
                } else {
                    if (!outcome.cancelled && !writer.errorString().isEmpty())
                        outcome.message = writer.errorString();
                    writer.abort();
                }
                m_sink.reset();
            }
            return done(outcome);
        }
        case Step::Simple:
            return done(outcomeOf(result));
        }
    }

    void releaseLater(QIODevice* device)
    {
        connect(device, &QObject::destroyed, [cipher = m_cipher] {});
        device->deleteLater();
    }

    void cleanPart(const Outcome& outcome)
    {
        m_pending = outcome;
        if (!m_engine.isLoggedIn())
            return done(outcome);
        m_step = Step::CleanPart;
        m_engine.RemoveFile(partName(m_name));
    }

    void done(const Outcome& outcome)
    {
        m_step = Step::None;
        m_cancelRequested = false;
        m_cipher.reset();
        finish(outcome);
    }

    ftp::Connection& m_engine;
    Step m_step = Step::None;
    QString m_name;
    Outcome m_pending;
    bool m_cancelRequested = false;
    std::shared_ptr<const crypto::Cipher> m_cipher;
    std::unique_ptr<CipherSourceDevice> m_source;
    std::unique_ptr<CipherSinkDevice> m_sink;
};

using ftp::direct::DirectError;
using ftp::direct::DirectResult;
using ftp::direct::DirectSession;
using ftp::direct::DirectWorker;

class DirectRoute final : public RemoteRoute {
public:
    DirectRoute(DirectWorker& worker, QString serverPath, QObject* parent)
        : RemoteRoute(parent), m_worker(worker), m_serverPath(std::move(serverPath))
    {
        connect(&m_worker, &DirectWorker::finished, this, &DirectRoute::onFinished);
        connect(&m_worker, &DirectWorker::progress, this, [this](quint64 operation, qint64 done, qint64 total) {
            if (operation == m_operation)
                emit progress(done, total);
        });
    }

    ~DirectRoute() override
    {
        disconnect(&m_worker, nullptr, this, nullptr);
        if (m_operation != 0) {
            if (m_reader)
                m_reader->cancel();
            m_worker.cancel();
        }
    }

    void upload(const QString& localPath, const QString& name) override
    {
        if (!begin())
            return;
        if (const QString why = unreadable(localPath); !why.isEmpty())
            return later(Outcome::failure(why));
        m_operation = m_worker.put(localPath, remote(name));
    }

    void uploadEncrypted(const QString& localPath, const QString& name,
                         std::shared_ptr<const crypto::Cipher> cipher) override
    {
        if (!begin())
            return;
        std::unique_ptr<CipherReader> opened;
        if (const QString why = openReader(localPath, *cipher, opened); !why.isEmpty())
            return later(Outcome::failure(why));
        std::shared_ptr<CipherReader> reader = withCipher(std::move(opened), std::move(cipher));
        m_reader = reader;
        emit stageChanged(Stage::Sending);
        const QString target = remote(name);
        // The reader (and its cipher) live as long as the job, whatever happens to this route.
        m_operation = m_worker.run([reader, target](DirectSession& session) {
            DirectResult r = session.putFrom([&](char* buffer, qint64 max) { return reader->read(buffer, max); },
                                             reader->size(), target);
            if (!r.ok() && session.isCancelled())
                r.error = DirectError::Cancelled;  // the reader was stopped by the same cancel
            else if (!r.ok() && r.error != DirectError::Cancelled && !reader->errorString().isEmpty())
                r.message = reader->errorString();
            return r;
        });
    }

    void download(const QString& name, const QString& localPath) override
    {
        if (!begin())
            return;
        m_operation = m_worker.get(remote(name), localPath);
    }

    void downloadDecrypted(const QString& name, const QString& localPath,
                           std::shared_ptr<const crypto::Cipher> cipher) override
    {
        if (!begin())
            return;
        std::shared_ptr<CipherWriter> writer =
            withCipher(std::make_unique<CipherWriter>(*cipher, Direction::Decrypt), cipher);
        QString error;
        if (!writer->open(localPath, &error))
            return later(Outcome::failure(error));
        m_writer = writer;
        const QString source = remote(name);
        m_operation = m_worker.run([writer, source](DirectSession& session) {
            DirectResult r = session.getTo(source, [&](const char* data, qint64 size) { return writer->write(data, size); });
            if (!r.ok() && r.error != DirectError::Cancelled && !writer->errorString().isEmpty())
                r.message = writer->errorString();
            return r;
        });
    }

    void makeDirectory(const QString& name) override
    {
        if (begin())
            m_operation = m_worker.makeDirectory(remote(name));
    }
    void removeDirectory(const QString& name) override
    {
        if (begin())
            m_operation = m_worker.removeDirectory(remote(name));
    }
    void rename(const QString& from, const QString& to) override
    {
        if (begin())
            m_operation = m_worker.rename(remote(from), remote(to));
    }
    void remove(const QString& name) override
    {
        if (begin())
            m_operation = m_worker.remove(remote(name));
    }

    void cancel() override
    {
        if (m_operation == 0)
            return;
        if (m_reader)
            m_reader->cancel();
        m_worker.cancel();
    }

private:
    QString remote(const QString& name) const { return ftp::direct::remoteName(m_serverPath, name); }

    void later(const Outcome& outcome)
    {
        QTimer::singleShot(0, this, [this, outcome] { done(outcome); });
    }

    void onFinished(quint64 operation, const DirectResult& result)
    {
        if (operation == 0 || operation != m_operation)
            return;
        m_operation = 0;
        Outcome outcome = result.ok() ? Outcome::success()
                          : result.error == DirectError::Cancelled ? Outcome::cancel()
                                                                   : Outcome::failure(result.message);
        if (m_writer) {
            if (outcome.ok) {
                emit stageChanged(Stage::Decrypting);
                QString error;
                if (!m_writer->commit(&error))
                    outcome = Outcome::failure(error);
            } else {
                m_writer->abort();
            }
        }
        done(outcome);
    }

    void done(const Outcome& outcome)
    {
        m_reader.reset();
        m_writer.reset();
        finish(outcome);
    }

    DirectWorker& m_worker;
    QString m_serverPath;
    quint64 m_operation = 0;
    std::shared_ptr<CipherReader> m_reader;
    std::shared_ptr<CipherWriter> m_writer;
};

}  // namespace

std::unique_ptr<RemoteRoute> makeEngineRoute(ftp::Connection& engine, QObject* parent)
{
    return std::make_unique<EngineRoute>(engine, parent);
}

std::unique_ptr<RemoteRoute> makeDirectRoute(DirectWorker& worker, const QString& serverPath, QObject* parent)
{
    return std::make_unique<DirectRoute>(worker, serverPath, parent);
}

}  // namespace zephra::transfer
