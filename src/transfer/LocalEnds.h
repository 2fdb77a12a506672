#pragma once
// The local end of a transfer, the same for every route: what an upload reads and what a
// download writes. Internal to the transfer library (RemoteRoute and the routes).
//
// An UploadSource is opened before anything goes to the server, so a file that cannot be read
// sends nothing (no STOR, no empty copy on the server). It hands out the file's bytes, or their
// ciphertext (exactly what crypto::Engine::encryptFile writes), either blocking (the direct
// route's worker thread) or as a producer device (the engine's event loop).
//
// A DownloadTarget writes through ftp::LocalFileReplacement: the target is replaced only by
// commit(), once every byte (and, decrypting, the last block) is written; otherwise it stays
// as it was. It takes bytes from a consumer call (the worker thread) or as a device (the engine).
//
// Each holds a share of its cipher, so the cipher goes only after the cipher thread has stopped.

#include "crypto/Engine.h"
#include "transfer/SealedTransfer.h"

#include <QFile>
#include <QIODevice>
#include <QString>

#include <atomic>
#include <memory>

namespace zephra::ftp {
class LocalFileReplacement;
class LocalFileContinuation;
}

namespace zephra::transfer {

class CipherReader;
class CipherWriter;
class CipherSourceDevice;
class CipherSinkDevice;

class UploadSource final {
public:
    // Opens localPath (with a cipher: its ciphertext, in the sealed format when sealed says so)
    // to be sent from byte `from` on (a resumed upload; 0: the whole file); nullptr with a
    // one-line reason when it cannot be read. A sealed upload is resumed only through
    // openSealedResume (it needs the header the server holds); here it always starts at 0.
    static std::shared_ptr<UploadSource> open(const QString& localPath, std::shared_ptr<const crypto::Cipher> cipher,
                                              qint64 from, QString* why, const SealedOptions& sealed = {});
    // The rest of a sealed upload whose first `held` bytes the server holds: resealed under the
    // header already there from the chunk boundary before held (resumeFromSealed), and handed
    // out from byte `held` on (from()), so the server's copy grows into the bytes of a whole
    // upload under that header, whether the route resumes with REST or with APPE.
    static std::shared_ptr<UploadSource> openSealedResume(const QString& localPath, std::shared_ptr<const crypto::Cipher> cipher,
                                                          const SealedOptions& sealed,
                                                          const crypto::sealed::HeaderBytes& header, qint64 held,
                                                          QString* why);
    ~UploadSource();
    UploadSource(const UploadSource&) = delete;
    UploadSource& operator=(const UploadSource&) = delete;

    bool isEncrypted() const { return bool(m_cipher); }
    qint64 size() const { return m_size; }  // the whole file's
    qint64 from() const { return m_from; }  // the first byte sent

    // Blocks until bytes are ready: their count, 0 at the end, -1 on a failure or after cancel().
    qint64 read(char* buffer, qint64 maxSize);
    // The same bytes as a producer device for ftp::Connection::PutFile (never blocks). Use one
    // of read() and device() per upload.
    QIODevice* device();
    // Why reading failed; empty when it did not.
    QString errorString() const;
    // Any thread: read() returns -1 from now on.
    void cancel();

private:
    UploadSource() = default;

    std::shared_ptr<const crypto::Cipher> m_cipher;  // first member: destroyed last
    std::unique_ptr<QFile> m_file;                    // plain: the local file itself
    // Encrypted: the reader, owned by the device once device() made one (the direct route
    // never does, so no QObject of the window's thread is used or freed on the worker's).
    std::unique_ptr<CipherReader> m_ownedReader;
    std::unique_ptr<CipherSourceDevice> m_cipherDevice;
    CipherReader* m_reader = nullptr;
    // Sealing: the same, for the sealed format.
    std::shared_ptr<crypto::sealed::KeyRing> m_keys;
    std::unique_ptr<SealingReader> m_ownedSealing;
    std::unique_ptr<SealingSourceDevice> m_sealingDevice;
    SealingReader* m_sealing = nullptr;
    QString m_path;
    qint64 m_size = 0;
    qint64 m_from = 0;
    std::atomic<bool> m_cancelled{false};
};

class DownloadTarget final {
public:
    // Starts the replacement of localPath (with a cipher: by the plaintext of what arrives, in
    // either format when sealed holds keys, told by the file's header); nullptr with a one-line
    // reason when it cannot be written. from > 0: a resumed download, whose bytes from that
    // position on continue localPath itself, which must hold exactly `from` bytes
    // (ftp::LocalFileContinuation): those are never touched, and what arrived stays after a
    // failure or a cancel. Decrypting with sealed keys, the format is known only from the file's
    // first bytes, so such a resume fetches the whole file (from() is 0) and writes from `from` on.
    static std::shared_ptr<DownloadTarget> open(const QString& localPath, std::shared_ptr<const crypto::Cipher> cipher,
                                                qint64 from, QString* why, const SealedOptions& sealed = {});
    // Resuming the decrypted download of a sealed file whose header is known (read before):
    // localPath holds its first `localSize` plaintext bytes, which stay untouched; the download
    // starts at the chunk boundary at or before localSize (from() is that chunk's sealed
    // offset), every chunk is authenticated, and only plaintext past localSize is written.
    static std::shared_ptr<DownloadTarget> openSealedResume(const QString& localPath,
                                                            std::shared_ptr<const crypto::Cipher> cipher,
                                                            const SealedOptions& sealed,
                                                            const crypto::sealed::HeaderBytes& header, qint64 localSize,
                                                            QString* why);
    ~DownloadTarget();  // abort() unless committed
    DownloadTarget(const DownloadTarget&) = delete;
    DownloadTarget& operator=(const DownloadTarget&) = delete;

    bool isDecrypting() const { return bool(m_cipher); }
    qint64 from() const { return m_from; }
    // Takes the next bytes; false once writing has failed (see errorString()).
    bool write(const char* data, qint64 size);
    // The same as a consumer device for ftp::Connection::GetFile. Use one of write() and device().
    QIODevice* device();
    // Replaces the target; false with the reason when that fails (the target then stays).
    bool commit(QString* why);
    // Leaves the target as it was and removes what was written. Safe to call more than once.
    void abort();
    // After a failure or a cancel: keeps what arrived under the target's name when the download
    // made a new file (nothing was there), so a resume can complete it; otherwise as abort().
    // Returns the bytes kept (0: nothing was).
    qint64 keepIncomplete();
    QString errorString() const;

private:
    DownloadTarget() = default;

    std::shared_ptr<const crypto::Cipher> m_cipher;  // first member: destroyed last
    std::unique_ptr<ftp::LocalFileReplacement> m_file;  // plain
    std::unique_ptr<ftp::LocalFileContinuation> m_continuation;  // plain, resumed
    // Decrypting: the writer, owned by the device once device() made one.
    std::unique_ptr<CipherWriter> m_ownedWriter;
    std::unique_ptr<CipherSinkDevice> m_sink;
    CipherWriter* m_writer = nullptr;
    // Decrypting either format: the writer that tells them apart.
    std::shared_ptr<crypto::sealed::KeyRing> m_keys;
    std::unique_ptr<OpeningWriter> m_ownedOpening;
    std::unique_ptr<OpeningSinkDevice> m_openingSink;
    OpeningWriter* m_opening = nullptr;
    QString m_path;
    qint64 m_from = 0;
    QString m_writeError;
};

}  // namespace zephra::transfer
