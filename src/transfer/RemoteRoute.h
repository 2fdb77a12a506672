#pragma once
// The open FTP session as the commands of the window see it, whichever route carries it.
//
// The engine route (ftp::Connection) works in the server's current directory with bare names;
// the direct route (DirectWorker) never changes directory and joins each bare name to the
// browser's directory (ftp::direct::remoteName). Callers always pass bare names.
//
// Every operation is asynchronous, one at a time, and ends with exactly one finished(). An
// operation started while another runs finishes at once with a failure.
//
// What every route guarantees:
// - An upload goes to "<name>.zephra-part" and is renamed over the name only when complete, so
//   a failed or cancelled upload never truncates the server's file; the part file is removed.
// - A download lands in a temporary file beside its target and replaces it only when complete
//   (and, when decrypted, only once decrypted).
// - An encrypted upload sends exactly the bytes crypto::Engine::encryptFile would write; if the
//   local file cannot be read, nothing is sent.

#include <QObject>
#include <QString>

#include <memory>

namespace zephra::crypto {
class Cipher;
}
namespace zephra::ftp {
class Connection;
}
namespace zephra::ftp::direct {
class DirectWorker;
}

namespace zephra::transfer {

struct Outcome {
    bool ok = true;
    bool cancelled = false;
    QString message;  // one line, why it failed; empty on success

    static Outcome success() { return {}; }
    static Outcome failure(QString why) { return {false, false, std::move(why)}; }
    static Outcome cancel() { return {false, true, QStringLiteral("Cancelled")}; }
};

class RemoteRoute : public QObject {
    Q_OBJECT
public:
    // The second half of an encrypted transfer has begun: for an upload the sending (the
    // cipher runs alongside), for a download the decryption of the last blocks.
    enum class Stage { Sending, Decrypting };
    Q_ENUM(Stage)

    using QObject::QObject;

    virtual void upload(const QString& localPath, const QString& name) = 0;
    virtual void uploadEncrypted(const QString& localPath, const QString& name,
                                 std::shared_ptr<const crypto::Cipher> cipher) = 0;
    virtual void download(const QString& name, const QString& localPath) = 0;
    virtual void downloadDecrypted(const QString& name, const QString& localPath,
                                   std::shared_ptr<const crypto::Cipher> cipher) = 0;
    virtual void makeDirectory(const QString& name) = 0;
    virtual void removeDirectory(const QString& name) = 0;
    virtual void rename(const QString& from, const QString& to) = 0;
    virtual void remove(const QString& name) = 0;
    // Stops the running operation; it finishes with Outcome::cancel(). The session stays usable.
    virtual void cancel() = 0;
    bool isBusy() const { return m_busy; }

    // The part name an upload of name is sent to.
    static QString partName(const QString& name) { return name + QStringLiteral(".zephra-part"); }

signals:
    void progress(qint64 done, qint64 total);  // total -1 when unknown
    void stageChanged(zephra::transfer::RemoteRoute::Stage stage);
    void finished(const zephra::transfer::Outcome& outcome);

protected:
    // Marks the start of an operation; false (and a failure reported) when one is running.
    bool begin();
    void finish(const Outcome& outcome);

private:
    bool m_busy = false;
};

// The engine route over the window's one Connection (logged in, binary type set).
std::unique_ptr<RemoteRoute> makeEngineRoute(ftp::Connection& engine, QObject* parent = nullptr);
// The direct route over an open session; serverPath is the browser's directory.
std::unique_ptr<RemoteRoute> makeDirectRoute(ftp::direct::DirectWorker& worker, const QString& serverPath,
                                             QObject* parent = nullptr);

}  // namespace zephra::transfer

Q_DECLARE_METATYPE(zephra::transfer::Outcome)
