#pragma once
// Encrypting while sending and decrypting while receiving, without a full working copy.
//
// The cipher enciphers by file position, so a file can be processed block by block as it moves.
// Each stream runs the cipher on a thread of its own, a few 1 MiB blocks ahead of (or behind)
// the network, in bounded memory (at most four blocks queued): the network and the cipher
// overlap, and the bytes are exactly what crypto::Engine::encryptFile / decryptFile write for
// the same file.
//
//   CipherReader reader(cipher, crypto::Direction::Encrypt);
//   if (!reader.open(localPath, &error)) ...;
//   session.putFrom([&](char* b, qint64 n) { return reader.read(b, n); }, reader.size(), name);
//
//   CipherWriter writer(cipher, crypto::Direction::Decrypt);
//   if (!writer.open(localTarget, &error)) ...;          // writes to a temporary file beside it
//   r = session.getTo(name, [&](const char* d, qint64 n) { return writer.write(d, n); });
//   r.ok() ? writer.commit(&error) : writer.abort();     // only commit() touches localTarget
//
// For the FTP engine, which runs on an event loop and must never block, the two device classes
// wrap a reader and a writer as QIODevices (a sequential producer that says readyRead when
// blocks are ready, and a consumer).

#include "crypto/Engine.h"

#include <QIODevice>
#include <QString>

#include <functional>
#include <memory>

namespace zephra::transfer {

// The cipher thread's unit of work; at most kCipherQueueDepth finished blocks wait.
inline constexpr qint64 kCipherBlockSize = qint64{1} << 20;
inline constexpr int kCipherQueueDepth = 4;

// Reads a local file and hands out its enciphered (or deciphered) bytes in file order.
class CipherReader final {
public:
    CipherReader(const crypto::Cipher& cipher, crypto::Direction direction);
    ~CipherReader();  // stops the thread
    CipherReader(const CipherReader&) = delete;
    CipherReader& operator=(const CipherReader&) = delete;

    // Opens the file; the cipher thread starts with the first read. From `from` on (a resumed
    // upload), with the machine at that byte: exactly the bytes a whole run gives from there.
    // On failure error holds a one-line reason.
    bool open(const QString& path, QString* error, qint64 from = 0);
    qint64 size() const;  // the file's whole size, known once open

    // Blocks until bytes are ready; returns their count (at most maxSize), 0 at the end of the
    // file, -1 on a failure (a read error, or the file changed size) or after cancel().
    qint64 read(char* buffer, qint64 maxSize);
    // Does not block: returns what is ready now, 0 when nothing is ready yet (or at the end;
    // see atEnd()), -1 on a failure.
    qint64 tryRead(char* buffer, qint64 maxSize);
    bool atEnd() const;  // every byte has been handed out
    qint64 bytesReady() const;  // what tryRead() would hand out now
    // Called on the cipher thread each time a block becomes ready or the stream ends or fails.
    void setReadyCallback(std::function<void()> callback);
    QString errorString() const;
    void cancel();  // any thread; read() returns -1 from then on

private:
    void start();

    struct Pipe;
    std::unique_ptr<Pipe> m_pipe;
};

// Takes bytes in file order, runs them through the cipher and writes them to a temporary file
// beside the target; the target is replaced only by commit().
class CipherWriter final {
public:
    CipherWriter(const crypto::Cipher& cipher, crypto::Direction direction);
    ~CipherWriter();  // abort() unless committed
    CipherWriter(const CipherWriter&) = delete;
    CipherWriter& operator=(const CipherWriter&) = delete;

    // Creates the owner-only (0600) temporary file beside target and starts the cipher thread.
    // commit() gives the file the permissions of the file it replaces, or the default ones
    // (0666 less the umask) for a new file, as crypto::Engine does.
    bool open(const QString& target, QString* error);
    // A resumed download: the bytes taken are those from position `from` on, written after the
    // first `from` bytes of target itself (ftp::LocalFileContinuation), which are never touched;
    // what was written stays after abort().
    bool openContinuing(const QString& target, qint64 from, QString* error);
    // Queues the bytes; blocks only while the queue is full (a few blocks). False once writing
    // has failed (disk full, ...): see errorString().
    bool write(const char* data, qint64 size);
    qint64 written() const;  // the file position reached: from (openContinuing) plus the bytes taken
    // Waits for the queue to drain, flushes to disk and renames the temporary file over the
    // target. On failure the temporary file is removed and the target left as it was.
    bool commit(QString* error);
    // Removes the temporary file; the target stays as it was. Safe to call more than once.
    void abort();
    // Stops as abort() does, but keeps what was written when the download made a new file
    // (ftp::LocalFileReplacement::keepIncomplete): the plaintext of the bytes that arrived, in
    // order, which a resumed download continues. Returns the bytes kept.
    qint64 keepIncomplete();
    QString errorString() const;

private:
    bool stop();  // ends the cipher thread; false when already committed
    struct Pipe;
    std::unique_ptr<Pipe> m_pipe;
};

// A CipherReader as a sequential QIODevice for ftp::Connection::PutFile(name, device, size):
// readData() never blocks, readyRead() is emitted (on the device's thread) when bytes are ready.
// A failure of the reader makes readData() return -1, which ends the upload with an error.
class CipherSourceDevice final : public QIODevice {
    Q_OBJECT
public:
    // Takes the opened reader.
    explicit CipherSourceDevice(std::unique_ptr<CipherReader> reader, QObject* parent = nullptr);
    ~CipherSourceDevice() override;

    bool isSequential() const override { return true; }
    bool atEnd() const override;
    qint64 bytesAvailable() const override;
    CipherReader& reader() { return *m_reader; }

protected:
    qint64 readData(char* data, qint64 maxSize) override;
    qint64 writeData(const char*, qint64) override { return -1; }

private:
    std::unique_ptr<CipherReader> m_reader;
};

// A CipherWriter as a write-only QIODevice for ftp::Connection::GetFile(name, device): every
// block written is taken (writeData() blocks only while the writer's queue is full).
class CipherSinkDevice final : public QIODevice {
    Q_OBJECT
public:
    explicit CipherSinkDevice(std::unique_ptr<CipherWriter> writer, QObject* parent = nullptr);
    ~CipherSinkDevice() override;

    bool isSequential() const override { return true; }
    CipherWriter& writer() { return *m_writer; }

protected:
    qint64 readData(char*, qint64) override { return -1; }
    qint64 writeData(const char* data, qint64 size) override;

private:
    std::unique_ptr<CipherWriter> m_writer;
};

}  // namespace zephra::transfer
