#pragma once
// Private to the engine: what the parts of Connection (split over several files by
// responsibility, one state machine) share about the transfer that runs.

#include "ftp/Connection.h"
#include "ftp/ListingLimit.h"
#include "ftp/LocalFile.h"

#include <QLoggingCategory>

Q_DECLARE_LOGGING_CATEGORY(lcFtp)

namespace zephra::ftp {

struct Connection::Transfer {
    enum class Direction { Download, Upload };

    QByteArray command;           // LIST, MLSD, RETR name or STOR name
    QByteArray sizeCommand;       // SIZE name, sent first; empty: not asked
    QByteArray verifyCommand;     // SIZE name, sent after an upload's 226; empty: not asked
    qint64 from = 0;              // a resumed transfer's first byte: REST from goes first
    QByteArray appendCommand;     // APPE name: a resumed upload where REST is refused
    Direction direction = Direction::Download;
    bool listing = false;         // held to the listing limit
    ListingMeter listingMeter;
    QPointer<QIODevice> device;   // supplied by the caller
    std::unique_ptr<QFile> file;  // an upload's local file, opened by the engine
    std::unique_ptr<LocalFileReplacement> replacement;  // a download's local file, replaced at the end
    qint64 bytes = 0;
    qint64 total = -1;
    bool sizeKnown = false;       // total came from the server's SIZE reply
    bool commandSent = false;
    bool started = false;         // the 1xx reply has been seen
    bool dataConnected = false;
    bool dataClosed = false;
    bool finalReplyOk = false;
    bool serverHoldsData = false;  // "125 Data connection already open", or bytes came from it
    bool sourceDone = false;
    bool pumping = false;
    std::optional<Result> failure;  // a data-side failure waiting for the server's final reply

    QIODevice* io() const
    {
        if (replacement)
            return replacement->device();
        return file ? static_cast<QIODevice*>(file.get()) : device.data();
    }
    bool isUpload() const { return direction == Direction::Upload; }
};

// A name with CR, LF or NUL would end the command early and smuggle in another one.
inline bool holdsLineBreak(QByteArrayView text)
{
    return text.contains('\r') || text.contains('\n') || text.contains('\0');
}

}  // namespace zephra::ftp
