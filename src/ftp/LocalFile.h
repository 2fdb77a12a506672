#pragma once
// How a download replaces a local file. Every writer of a downloaded file (the engine, the direct
// session, the cipher writer, the command-line tool) goes through this one class, so they cannot
// drift apart:
// - the bytes go to a temporary file beside the target, ".<name>.zephra-XXXXXX" (".zephra-XXXXXX"
//   for a very long name), owner-only (0600) while it fills, since it may hold plaintext;
// - commit() gives it the permission bits of the file it replaces (a 0600 file stays 0600; the
//   set-id and sticky bits are not carried over to bytes from a server), or 0666 less the umask
//   for a new file; then flushes it to disk (fsync) and only then renames it over the target,
//   and flushes the directory;
// - a symbolic link at the target is replaced by the new file, never written through (rename()
//   replaces the link itself);
// - on any failure, and when the object goes without commit(), the temporary file is removed and
//   the target stays exactly as it was.
//
//   ftp::LocalFileReplacement out(localPath);
//   if (!out.open(&error)) ...;
//   out.device()->write(...);                    // a QIODevice writer (write-only, unbuffered)
//   crypto::writeAll(out.handle(), p, n, pos);   // or a positional writer on another thread
//   if (!out.commit(&error)) ...;                // the target is replaced only here

#include <QIODevice>
#include <QString>

#include <memory>

namespace zephra::ftp {

class LocalFileReplacement final {
public:
    explicit LocalFileReplacement(QString target);
    ~LocalFileReplacement();  // discard() unless committed
    LocalFileReplacement(const LocalFileReplacement&) = delete;
    LocalFileReplacement& operator=(const LocalFileReplacement&) = delete;

    // Creates the temporary file. Refused (with a one-line reason) when the target is a
    // directory or another kind of non-file, or its directory cannot be written.
    [[nodiscard]] bool open(QString* error);
    bool isOpen() const;

    // The temporary file as an open, write-only, unbuffered QIODevice; nullptr unless open.
    QIODevice* device();
    // Its descriptor, for positional writes (pwrite); -1 unless open.
    int handle() const;

    // Flushes, sets the mode, renames over the target. False with a reason on any failure, and
    // then the temporary file is gone and the target untouched. True at once when committed.
    [[nodiscard]] bool commit(QString* error);
    // Removes the temporary file; the target stays as it was. Safe to call more than once.
    void discard();
    // After a download that broke off or was cancelled: when no file was at the target when
    // open() ran and what arrived is not empty, it is kept under the target's name (with the
    // mode a new file gets), so a resumed download can complete it. Never over a file or link
    // that appeared since: then, and in every other case, it is discarded. Returns the bytes
    // kept, 0 when nothing was.
    qint64 keepIncomplete();
    bool isCommitted() const { return m_committed; }

    QString target() const { return m_target; }
    QString temporaryPath() const;  // empty unless open

private:
    QString m_target;
    QByteArray m_targetNative;
    QByteArray m_tempNative;  // empty once renamed or removed
    int m_fd = -1;
    unsigned m_mode = 0600;   // what the file gets at commit
    bool m_targetExisted = false;  // something (a file, a link) was at the target at open()
    bool m_committed = false;
    std::unique_ptr<QIODevice> m_device;
};

// How a download continues a partial local file (resume): the file is opened for writing
// without truncating it and must hold exactly `from` bytes; the new bytes go after them, so the
// first `from` bytes are never touched, whatever happens. What arrived stays on a failure or a
// cancel (a later resume goes on from there). A link is not followed and a file that changed
// size since it was measured is refused: either would write somewhere the user did not choose.
//
//   ftp::LocalFileContinuation out(localPath, existingSize);
//   if (!out.open(&error)) ...;
//   out.device()->write(...);                       // appends after the first `from` bytes
//   crypto::writeAll(out.handle(), p, n, from + k); // or positional writes at from and after
//   if (!out.finish(&error)) ...;                   // flushed to disk
class LocalFileContinuation final {
public:
    LocalFileContinuation(QString target, qint64 from);
    ~LocalFileContinuation();  // closes; what was written stays
    LocalFileContinuation(const LocalFileContinuation&) = delete;
    LocalFileContinuation& operator=(const LocalFileContinuation&) = delete;

    [[nodiscard]] bool open(QString* error);
    QIODevice* device();  // write-only, unbuffered, positioned at from; nullptr unless open
    int handle() const;   // -1 unless open
    qint64 from() const { return m_from; }
    // Flushes to disk (fsync) and closes. False with a reason when the flush fails.
    [[nodiscard]] bool finish(QString* error);
    void close();

private:
    QString m_target;
    qint64 m_from = 0;
    int m_fd = -1;
    std::unique_ptr<QIODevice> m_device;
};

// Whether name has the shape of a temporary file of a replacement (for clean-up checks).
bool isReplacementTemporaryName(const QString& name);

}  // namespace zephra::ftp
