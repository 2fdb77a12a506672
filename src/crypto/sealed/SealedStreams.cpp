#include "crypto/sealed/SealedStreams.h"

#include "crypto/sealed/SealedMessages.h"

#include <algorithm>

namespace zephra::crypto::sealed {

Sealer::Sealer(const FileKey& key, ChunkPosition from)
    : m_key(key), m_sealer(key), m_chunk(from.chunk), m_headerDue(from.sealedOffset == 0)
{
    m_pending.reserve(kChunkSize);
}

bool Sealer::sealTo(std::vector<std::uint8_t>& out, const std::uint8_t* data, std::size_t n, bool last)
{
    const std::size_t at = out.size();
    out.resize(at + n + kTagSize);
    if (!m_sealer.seal(m_chunk, last, data, n, out.data() + at)) {
        out.resize(at);
        return false;
    }
    ++m_chunk;
    return true;
}

bool Sealer::write(const std::uint8_t* data, std::size_t n, std::vector<std::uint8_t>& out)
{
    if (m_headerDue) {
        out.insert(out.end(), m_key.headerBytes().begin(), m_key.headerBytes().end());
        m_headerDue = false;
    }
    while (n > 0) {
        // A full chunk is never the last one, so it is sealed as soon as it is complete.
        if (m_pending.empty() && n >= kChunkSize) {
            if (!sealTo(out, data, kChunkSize, false))
                return false;
            data += kChunkSize;
            n -= kChunkSize;
            continue;
        }
        const std::size_t take = std::min(n, kChunkSize - m_pending.size());
        m_pending.insert(m_pending.end(), data, data + take);
        data += take;
        n -= take;
        if (m_pending.size() == kChunkSize) {
            if (!sealTo(out, m_pending.data(), kChunkSize, false))
                return false;
            m_pending.clear();
        }
    }
    return true;
}

bool Sealer::finish(std::vector<std::uint8_t>& out)
{
    if (!write(nullptr, 0, out))
        return false;
    const bool ok = sealTo(out, m_pending.data(), m_pending.size(), true);
    m_pending.clear();
    return ok;
}

Opener::Opener(const MasterKey& master) : m_master(&master), m_headerDue(true) { m_pending.reserve(kSealedChunkSize); }

Opener::Opener(const FileKey& key, ChunkPosition from)
    : m_key(&key), m_opener(std::make_unique<ChunkOpener>(key)), m_chunk(from.chunk), m_headerDue(from.sealedOffset == 0)
{
    m_pending.reserve(kSealedChunkSize);
}

Opener::~Opener() = default;

Status Opener::takeHeader()
{
    Header header;
    if (Status s = Header::read(m_pending, header); !s.ok())
        return s;
    if (m_key) {
        // Resuming at the start: the header must be the one the key was made for.
        if (!(header == m_key->header()))
            return Status::failure(ErrorKind::Damaged, message::headerDamaged());
    } else {
        if (Status s = FileKey::forHeader(*m_master, header, m_ownKey); !s.ok())
            return s;
        m_key = m_ownKey.get();
        m_opener = std::make_unique<ChunkOpener>(*m_key);
    }
    m_headerDue = false;
    m_pending.clear();
    return Status::success();
}

Status Opener::openTo(std::vector<std::uint8_t>& out, const std::uint8_t* data, std::size_t n, bool last)
{
    const std::size_t at = out.size();
    out.resize(at + n - kTagSize);
    if (!m_opener->open(m_chunk, last, data, n, out.data() + at)) {
        out.resize(at);
        return chunkFailure(m_chunk);
    }
    ++m_chunk;
    return Status::success();
}

Status Opener::write(const std::uint8_t* data, std::size_t n, std::vector<std::uint8_t>& out)
{
    while (m_failure.ok() && n > 0) {
        if (m_headerDue) {
            const std::size_t take = std::min(n, kHeaderSize - m_pending.size());
            m_pending.insert(m_pending.end(), data, data + take);
            data += take;
            n -= take;
            if (m_pending.size() == kHeaderSize)
                m_failure = takeHeader();
            continue;
        }
        // A full-size chunk is never the last one, so it opens as soon as it is complete.
        if (m_pending.empty() && n >= kSealedChunkSize) {
            m_failure = openTo(out, data, kSealedChunkSize, false);
            data += kSealedChunkSize;
            n -= kSealedChunkSize;
            continue;
        }
        const std::size_t take = std::min(n, kSealedChunkSize - m_pending.size());
        m_pending.insert(m_pending.end(), data, data + take);
        data += take;
        n -= take;
        if (m_pending.size() == kSealedChunkSize) {
            m_failure = openTo(out, m_pending.data(), kSealedChunkSize, false);
            m_pending.clear();
        }
    }
    return m_failure;
}

Status Opener::finish(std::vector<std::uint8_t>& out)
{
    if (!m_failure.ok())
        return m_failure;
    Status result;
    if (m_headerDue) {
        Header ignored;
        result = Header::read(m_pending, ignored);  // says why there is no whole header
    } else if (m_pending.empty()) {
        result = Status::failure(ErrorKind::Truncated, message::lastChunkMissing());
    } else if (m_pending.size() < kTagSize) {
        result = chunkFailure(m_chunk);
    } else {
        result = openTo(out, m_pending.data(), m_pending.size(), true);
    }
    m_pending.clear();
    // Nothing may follow the end.
    m_failure = result.ok() ? Status::failure(ErrorKind::Io, "the sealed stream has already ended") : result;
    return result;
}

}  // namespace zephra::crypto::sealed
