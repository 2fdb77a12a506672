// The QIODevice adaptors of the sealed streams, for the FTP engine's event loop (the same plan
// as CipherDevices.cpp).
#include "transfer/SealedTransfer.h"

#include <QMetaObject>

namespace zephra::transfer {

SealingSourceDevice::SealingSourceDevice(std::unique_ptr<SealingReader> reader, QObject* parent)
    : QIODevice(parent), m_reader(std::move(reader))
{
    m_reader->setReadyCallback([this] {
        QMetaObject::invokeMethod(this, [this] { emit readyRead(); }, Qt::QueuedConnection);
    });
    QIODevice::open(QIODevice::ReadOnly | QIODevice::Unbuffered);
    if (m_reader->bytesReady() > 0 || m_reader->atEnd())
        QMetaObject::invokeMethod(this, [this] { emit readyRead(); }, Qt::QueuedConnection);
}

SealingSourceDevice::~SealingSourceDevice()
{
    m_reader->setReadyCallback({});
    m_reader.reset();
}

bool SealingSourceDevice::atEnd() const { return m_reader->atEnd(); }

qint64 SealingSourceDevice::bytesAvailable() const { return m_reader->bytesReady() + QIODevice::bytesAvailable(); }

qint64 SealingSourceDevice::readData(char* data, qint64 maxSize)
{
    const qint64 n = m_reader->tryRead(data, maxSize);
    if (n < 0)
        setErrorString(m_reader->errorString());
    return n;
}

OpeningSinkDevice::OpeningSinkDevice(std::unique_ptr<OpeningWriter> writer, QObject* parent)
    : QIODevice(parent), m_writer(std::move(writer))
{
    QIODevice::open(QIODevice::WriteOnly | QIODevice::Unbuffered);
}

OpeningSinkDevice::~OpeningSinkDevice() = default;

qint64 OpeningSinkDevice::writeData(const char* data, qint64 size)
{
    if (!m_writer->write(data, size)) {
        setErrorString(m_writer->errorString());
        return -1;
    }
    return size;
}

}  // namespace zephra::transfer
