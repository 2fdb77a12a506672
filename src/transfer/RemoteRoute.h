#pragma once
// The open FTP session as the commands of the window and the command-line tool see it, whichever
// route carries it.
//
// A route is made for one directory, absolute and as the server confirmed it (its bytes: the
// window's directory()), and takes bare names as the server's bytes (a listing entry's rawName;
// a typed name or an uploaded file's name as UTF-8). No command can act anywhere else: the engine
// route first makes sure the engine's confirmed directory is that one (CWD there and PWD when it
// is unknown or another; a refusal fails the operation), then sends bare names; the direct route
// names every file by its full path (ftp::direct::childPath). An empty directory stands for
// "where the session is" (a server that never named its directory).
//
// Every operation is asynchronous, one at a time, and ends with exactly one finished(). An
// operation started while another runs finishes at once with a failure.
//
// The rules every route follows live here, in RemoteRoute itself; a route only moves the bytes
// and sends the commands:
// - An upload goes to the file's own name (STOR NAME): no temporary name, no rename, nothing
//   deleted after a failure, so it works on servers that allow storing but not renaming or
//   deleting (upload-only drop boxes), and a replaced file keeps what the server set on it.
//   A failed or cancelled upload leaves an incomplete copy under that name; its outcome says so
//   and how many bytes were sent (a later resume completes it).
// - A file that cannot be read sends nothing: no STOR goes out for it.
// - An encrypted upload sends exactly the bytes crypto::Engine::encryptFile would write.
// - A download replaces its local target only when complete (and, when decrypted, only once
//   decrypted), through ftp::LocalFileReplacement; on any failure the target stays as it was.
// - A cancel is reported as a cancel, whatever the wire or the local file said by then: it is
//   recorded before anything is stopped, and the outcome is mapped from that record.

#include "transfer/SealedTransfer.h"

#include <QByteArray>
#include <QObject>
#include <QString>

#include <memory>
#include <optional>

namespace zephra::crypto {
class Cipher;
}
namespace zephra::ftp {
class Connection;
struct Result;
}
namespace zephra::ftp::direct {
class DirectWorker;
struct DirectResult;
}

namespace zephra::transfer {

class UploadSource;
class DownloadTarget;

struct Outcome {
    // What kind of failure it was, the same on both routes, so a script can tell them apart.
    enum class Failure {
        None,
        LocalFile,   // the local file could not be opened, read or written (a full disk too)
        Connection,  // the server could not be reached, or did not answer in time
        Login,       // the server refused the user name or the password
        Refused,     // the server refused the command (no such file, no permission)
        Broken,      // the connection or the transfer broke off, or stalled past the time-out
        Other,       // anything else: a protocol fault, a name that cannot be sent, a busy route
    };

    bool ok = true;
    bool cancelled = false;
    QString message;     // one line, why it failed; empty on success
    QString leftBehind;  // what a failed or cancelled upload left on the server; empty when nothing
    Failure kind = Failure::None;

    static Outcome success() { return {}; }
    static Outcome failure(QString why, Failure kind = Failure::Other) { return {false, false, std::move(why), {}, kind}; }
    static Outcome cancel() { return {false, true, QStringLiteral("Cancelled"), {}, Failure::Other}; }
    // The message and what was left behind, as sentences for a report.
    QString text() const
    {
        if (leftBehind.isEmpty())
            return message;
        return message + (message.endsWith(u'.') || message.endsWith(u')') ? QStringLiteral(" ") : QStringLiteral(". ")) + leftBehind;
    }
};

class RemoteRoute : public QObject {
    Q_OBJECT
public:
    // The second half of an encrypted transfer has begun: for an upload the sending (the
    // cipher runs alongside), for a download the decryption of the last blocks.
    enum class Stage { Sending, Decrypting };
    Q_ENUM(Stage)

    RemoteRoute(QByteArray directory, QObject* parent);
    ~RemoteRoute() override;

    // The directory the route acts in.
    const QByteArray& directory() const { return m_directory; }
    // The sealed format for the encrypted transfers that start from now on: uploads seal when
    // options say so; downloads with keys tell the two formats apart by the header.
    void setSealedOptions(SealedOptions options) { m_sealed = std::move(options); }

    // from > 0 resumes: an upload sends the file from that byte on (the server's copy must hold
    // exactly the bytes before it), a download continues the local file, which holds exactly
    // `from` bytes (see DownloadTarget). Encrypted, the cipher starts at that byte's machine
    // state, so the result is byte for byte that of a whole transfer. Progress counts from 0
    // over the whole file, the resumed bytes included.
    //
    // The sealed format resumes at chunk boundaries, under the header the server's copy holds,
    // so such a resume first reads that header (peek):
    // - a sealed upload (SealedOptions::sealUploads; from: the server copy's size) goes on only
    //   when the server's copy begins with a sealed header whose key check fits the accepted
    //   key; otherwise it fails with the reason and sends nothing. It reseals from the last
    //   whole chunk there (resumeFromSealed) under that header, so the server ends up with the
    //   bytes of a whole upload under it. A copy shorter than a header is sent again whole.
    // - a decrypted download with the sealed keys at hand: a sealed file restarts at the chunk
    //   holding the local file's first missing byte (resumeFromPlain), authenticates every
    //   chunk and writes only what the local file lacks; a file without the header resumes
    //   with the rotor cipher at byte `from`.
    void upload(const QString& localPath, const QByteArray& name, qint64 from = 0);
    void uploadEncrypted(const QString& localPath, const QByteArray& name, std::shared_ptr<const crypto::Cipher> cipher,
                         qint64 from = 0);
    void download(const QByteArray& name, const QString& localPath, qint64 from = 0);
    void downloadDecrypted(const QByteArray& name, const QString& localPath, std::shared_ptr<const crypto::Cipher> cipher,
                           qint64 from = 0);
    // Reads the first n bytes of a file (all of it when shorter); ends with peeked(), not
    // finished(). The transfer stops after them and the session goes on.
    void peek(const QByteArray& name, qint64 n);
    void makeDirectory(const QByteArray& name);
    void removeDirectory(const QByteArray& name);
    void rename(const QByteArray& from, const QByteArray& to);
    void remove(const QByteArray& name);
    // Stops the running operation; it finishes with Outcome::cancel() (an operation that had
    // already completed keeps its success). The session stays usable.
    void cancel();
    bool isBusy() const { return m_op != Op::None; }

signals:
    void progress(qint64 done, qint64 total);  // total -1 when unknown
    void stageChanged(zephra::transfer::RemoteRoute::Stage stage);
    void finished(const zephra::transfer::Outcome& outcome);
    // A peek's ending: its outcome and the bytes read (empty on a failure).
    void peeked(const zephra::transfer::Outcome& outcome, const QByteArray& firstBytes);

protected:
    enum class Command { MakeDirectory, RemoveDirectory, Rename, Remove };

    // How the wire part of an operation ended, as a route tells it.
    struct WireEnd {
        bool ok = false;
        bool cancelled = false;    // the engine or the session says it was stopped
        bool commandSent = true;   // the transfer command went out (true when the route cannot tell)
        bool started = false;      // the server took the transfer command (its 1xx reply came)
        bool refused = false;      // the server answered the transfer command with a refusal
        QString why;               // the failure's one line
        qint64 bytes = 0;          // upload: bytes the server's copy reached (a resume's first ones included)
        QByteArray firstBytes;     // peek: the bytes read
        Outcome::Failure kind = Outcome::Failure::Other;  // the failure's kind (failureOf below)
    };

    // What a route does on the wire; each ends with exactly one wireEnded(), never inside the call.
    // source->from() / target->from() > 0: resume there (REST, or APPE for an upload).
    virtual void send(std::shared_ptr<UploadSource> source, const QByteArray& name) = 0;
    virtual void receive(const QByteArray& name, std::shared_ptr<DownloadTarget> target) = 0;
    virtual void command(Command command, const QByteArray& name, const QByteArray& newName) = 0;
    // Reads the first n bytes of name and stops the transfer there (the session goes on); the
    // bytes come in WireEnd::firstBytes of an ok ending (fewer for a shorter file).
    virtual void fetchFirst(const QByteArray& name, qint64 n) = 0;
    // Stops what runs on the wire (the cancel is already recorded).
    virtual void stop() = 0;

    void wireEnded(const WireEnd& end);
    bool cancelRequested() const { return m_cancelRequested; }

private:
    enum class Op { None, Upload, Download, Command, Peek };

    // A sealed resume waiting for the server copy's header.
    struct PendingResume {
        bool upload = false;
        QString localPath;
        std::shared_ptr<const crypto::Cipher> cipher;
        qint64 from = 0;
    };

    bool begin(Op op);
    // After begin(): the local end opened (or the failure reported) and the route told to go.
    void startUpload(const QString& localPath, const QByteArray& name, std::shared_ptr<const crypto::Cipher> cipher,
                     qint64 from);
    void startDownload(const QByteArray& name, const QString& localPath, std::shared_ptr<const crypto::Cipher> cipher,
                       qint64 from);
    void startCommand(Command command, const QByteArray& name, const QByteArray& newName = {});
    // The server copy's header has been read (or not) for the pending sealed resume.
    void headerRead(const WireEnd& end);
    void resumeSealedUpload(const PendingResume& resume, const crypto::sealed::HeaderBytes& header);
    void resumeDownload(const PendingResume& resume, const QByteArray& firstBytes);
    void finishLater(const Outcome& outcome);
    void finish(const Outcome& outcome);
    static QString incompleteCopy(const QByteArray& name, const WireEnd& end, qint64 size);

    const QByteArray m_directory;
    Op m_op = Op::None;
    bool m_cancelRequested = false;
    QByteArray m_name;
    qint64 m_uploadSize = 0;
    std::shared_ptr<UploadSource> m_source;
    std::shared_ptr<DownloadTarget> m_target;
    SealedOptions m_sealed;
    std::optional<PendingResume> m_pending;  // set while the header is read
    quint64 m_keyCheck = 0;                  // the key check running off this thread, by number
};

// The kind of a failure of either route's own report; both routes and the command-line tool's
// other commands classify through these two. A time-out here is one of a logged-in session
// (Broken); while connecting, the caller takes Broken for Connection.
Outcome::Failure failureOf(const ftp::Result& result);
Outcome::Failure failureOf(const ftp::direct::DirectResult& result);

// The engine route over the window's one Connection (logged in, binary type set), for directory.
std::unique_ptr<RemoteRoute> makeEngineRoute(ftp::Connection& engine, QByteArray directory, QObject* parent = nullptr);
// The direct route over an open session, for directory.
std::unique_ptr<RemoteRoute> makeDirectRoute(ftp::direct::DirectWorker& worker, QByteArray directory,
                                             QObject* parent = nullptr);

}  // namespace zephra::transfer

Q_DECLARE_METATYPE(zephra::transfer::Outcome)
