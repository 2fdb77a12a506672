#pragma once
// Encrypted transfers in the sealed format (docs/FORMAT.md), beside the rotor streams of
// CipherStreams.h and on the same plan: a thread of its own seals a few blocks ahead of the
// network, or opens and writes what arrived behind it, in bounded memory.
//
//   SealingReader reader(keys);                       // keys: the accepted key's KeyRing
//   if (!reader.open(localPath, &error)) ...;         // size() = sealedSize(the file's size)
//   session.putFrom([&](char* b, qint64 n) { return reader.read(b, n); }, reader.size(), name);
//
//   OpeningWriter writer(rotor, keys);                // either format, told by the header
//   if (!writer.open(localTarget, &error)) ...;       // a temporary file beside the target
//   r = session.getTo(name, [&](const char* d, qint64 n) { return writer.write(d, n); });
//   r.ok() ? writer.commit(&error) : writer.abort();  // only commit() touches localTarget
//
// An OpeningWriter reads the first kHeaderSize bytes before it writes anything: a sealed header
// (isSealed) makes it open the chunks under the key the header names; anything else is the
// compatible format and goes through the rotor cipher exactly as CipherWriter does. A sealed file
// with another key, a damaged or cut-short one fails (WrongKey, Damaged, Truncated with their
// one-line messages) and commit() then refuses, so the target is never replaced by it.

#include "crypto/Engine.h"
#include "crypto/sealed/SealedFormat.h"

#include <QIODevice>
#include <QString>

#include <functional>
#include <memory>

namespace zephra::crypto::sealed {
class KeyRing;
}

namespace zephra::transfer {

// The sealed side of an accepted key, for a route's encrypted transfers.
struct SealedOptions {
    std::shared_ptr<crypto::sealed::KeyRing> keys;  // null: downloads know only the compatible format
    bool sealUploads = false;                       // encrypted uploads write the sealed format
};

// Reads a local file and hands out its sealed bytes in order: the header, then the chunks.
// Same interface as CipherReader.
class SealingReader final {
public:
    explicit SealingReader(std::shared_ptr<crypto::sealed::KeyRing> keys);
    ~SealingReader();  // stops the thread
    SealingReader(const SealingReader&) = delete;
    SealingReader& operator=(const SealingReader&) = delete;

    // Opens the file; the sealing thread starts with the first read.
    bool open(const QString& path, QString* error);
    // Resumes the upload of the file whose first sealed bytes the server holds: sealing restarts
    // at from (a chunk boundary, FORMAT.md) under that header's key. Call after open(), before
    // the first read. The file must be the one sealed then (same size); false otherwise.
    // skip: bytes of that chunk the server holds already and that are not handed out again
    // (resealing repeats them byte for byte), so the upload appends right where the server's
    // copy ends, as APPE does; less than the chunk.
    bool resumeAt(const crypto::sealed::HeaderBytes& header, crypto::sealed::ChunkPosition from, QString* error,
                  qint64 skip = 0);
    qint64 size() const;  // the sealed bytes still to hand out (all of them unless resumed)
    qint64 plainSize() const;

    qint64 read(char* buffer, qint64 maxSize);
    qint64 tryRead(char* buffer, qint64 maxSize);
    bool atEnd() const;
    qint64 bytesReady() const;
    void setReadyCallback(std::function<void()> callback);
    QString errorString() const;
    void cancel();

private:
    void start();

    struct Pipe;
    std::unique_ptr<Pipe> m_pipe;
};

// Takes downloaded bytes in order, tells the format by the header and writes the plaintext to
// a temporary file beside the target; the target is replaced only by commit(), and only when
// the whole file decrypted (every sealed chunk authentic, the last one present).
class OpeningWriter final {
public:
    // rotor: the compatible format's cipher; keys: the sealed format's (may be null).
    OpeningWriter(const crypto::Cipher& rotor, std::shared_ptr<crypto::sealed::KeyRing> keys);
    ~OpeningWriter();  // abort() unless committed
    OpeningWriter(const OpeningWriter&) = delete;
    OpeningWriter& operator=(const OpeningWriter&) = delete;

    bool open(const QString& target, QString* error);
    // Resuming a download: target holds its first `from` plaintext bytes, which stay untouched;
    // the writer still takes the file from its first byte (the header tells the format and the
    // key, and every chunk is checked) and writes the plaintext from `from` on into target
    // itself. What was written stays after a failure, as with every resumed download.
    bool openContinuing(const QString& target, qint64 from, QString* error);
    // Resuming the download of a sealed file whose header was read before: target holds its
    // first localSize plaintext bytes, which stay untouched. The stream starts at the chunk
    // boundary at or before localSize (resumeFromPlain: its sealedOffset is where the download
    // starts, after the header); each chunk is authenticated under the header's key and only
    // plaintext past localSize is written, into target itself. A wrong key fails before anything
    // is written; what was written stays after a failure.
    bool openResumed(const QString& target, const crypto::sealed::HeaderBytes& header, qint64 localSize, QString* error);
    // Blocks only while the queue is full. False once writing or opening has failed.
    bool write(const char* data, qint64 size);
    qint64 written() const;
    // Waits for the rest, ends the stream (a sealed file's last chunk must be there), flushes
    // and renames over the target. On failure the target stays as it was.
    bool commit(QString* error);
    void abort();
    QString errorString() const;
    // Once known (after the first kHeaderSize bytes, or at commit): whether the file is sealed.
    bool isSealed() const;

private:
    struct Pipe;
    std::unique_ptr<Pipe> m_pipe;
};

// The QIODevice adaptors for the FTP engine's event loop, as CipherSourceDevice and
// CipherSinkDevice are for the rotor streams.
class SealingSourceDevice final : public QIODevice {
    Q_OBJECT
public:
    explicit SealingSourceDevice(std::unique_ptr<SealingReader> reader, QObject* parent = nullptr);
    ~SealingSourceDevice() override;

    bool isSequential() const override { return true; }
    bool atEnd() const override;
    qint64 bytesAvailable() const override;

protected:
    qint64 readData(char* data, qint64 maxSize) override;
    qint64 writeData(const char*, qint64) override { return -1; }

private:
    std::unique_ptr<SealingReader> m_reader;
};

class OpeningSinkDevice final : public QIODevice {
    Q_OBJECT
public:
    explicit OpeningSinkDevice(std::unique_ptr<OpeningWriter> writer, QObject* parent = nullptr);
    ~OpeningSinkDevice() override;

    bool isSequential() const override { return true; }

protected:
    qint64 readData(char*, qint64) override { return -1; }
    qint64 writeData(const char* data, qint64 size) override;

private:
    std::unique_ptr<OpeningWriter> m_writer;
};

}  // namespace zephra::transfer
