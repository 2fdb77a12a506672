// The QIODevice adaptors of the cipher streams, for the FTP engine's event loop.
#include "transfer/CipherStreams.h"

#include <QMetaObject>

namespace zephra::transfer {

CipherSourceDevice::CipherSourceDevice(std::unique_ptr<CipherReader> reader, QObject* parent)
    : QIODevice(parent)
    , m_reader(std::move(reader))
{
    // readyRead on this device's own thread: the FTP engine reacts to it where it lives.
    m_reader->setReadyCallback([this] {
        QMetaObject::invokeMethod(this, [this] { emit readyRead(); }, Qt::QueuedConnection);
    });
    QIODevice::open(QIODevice::ReadOnly | QIODevice::Unbuffered);
    // Blocks finished before the callback was set would otherwise go unannounced.
    if (m_reader->bytesReady() > 0 || m_reader->atEnd())
        QMetaObject::invokeMethod(this, [this] { emit readyRead(); }, Qt::QueuedConnection);
}

CipherSourceDevice::~CipherSourceDevice()
{
    // The cipher thread ends before this object does, so no callback reaches a dead device;
    // readyRead events still queued go with the QObject.
    m_reader->setReadyCallback({});
    m_reader.reset();
}

bool CipherSourceDevice::atEnd() const { return m_reader->atEnd(); }

qint64 CipherSourceDevice::bytesAvailable() const { return m_reader->bytesReady() + QIODevice::bytesAvailable(); }

qint64 CipherSourceDevice::readData(char* data, qint64 maxSize)
{
    const qint64 n = m_reader->tryRead(data, maxSize);
    if (n < 0)
        setErrorString(m_reader->errorString());
    return n;
}

CipherSinkDevice::CipherSinkDevice(std::unique_ptr<CipherWriter> writer, QObject* parent)
    : QIODevice(parent)
    , m_writer(std::move(writer))
{
    QIODevice::open(QIODevice::WriteOnly | QIODevice::Unbuffered);
}

CipherSinkDevice::~CipherSinkDevice() = default;

qint64 CipherSinkDevice::writeData(const char* data, qint64 size)
{
    if (!m_writer->write(data, size)) {
        setErrorString(m_writer->errorString());
        return -1;
    }
    return size;
}

}  // namespace zephra::transfer
