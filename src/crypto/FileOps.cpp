#include "crypto/FileOps.h"

#include "crypto/FileJob.h"
#include "crypto/PosixIo.h"

#include <algorithm>

namespace zephra::crypto {

std::uint8_t* BlockBuffers::get(int thread)
{
    auto& block = m_blocks[thread];
    if (block.empty())
        block.resize(kBlockSize);
    return block.data();
}

Status processFile(const Cipher& cipher, Direction dir, const std::filesystem::path& source,
                   const std::filesystem::path& dest, const Progress& progress, BlockBuffers& buffers)
{
    FileJob job(source, dest);
    if (Status s = job.open(); !s.ok())
        return s;
    const std::uint64_t total = job.sourceSize();
    const std::uint64_t blocks = (total + BlockBuffers::kBlockSize - 1) / BlockBuffers::kBlockSize;
    if (Status s = job.reserve(total); !s.ok())
        return s;
    // Each thread reads, processes and writes its own blocks at the same offsets.
    const auto work = [&](int thread, std::uint64_t block, std::uint64_t* done) {
        std::uint8_t* buf = buffers.get(thread);
        const std::uint64_t offset = block * BlockBuffers::kBlockSize;
        const auto len = static_cast<std::size_t>(std::min<std::uint64_t>(BlockBuffers::kBlockSize, total - offset));
        if (!readFull(job.sourceFd(), buf, len, static_cast<off_t>(offset)))
            return job.readFailure();
        cipher.process(dir, offset, buf, buf, len);
        if (!writeAll(job.outputFd(), buf, len, static_cast<off_t>(offset)))
            return job.writeFailure();
        *done = len;
        return Status::success();
    };
    if (Status s = job.run(blocks, total, work, progress); !s.ok())
        return s;
    return job.commit();
}

}  // namespace zephra::crypto
