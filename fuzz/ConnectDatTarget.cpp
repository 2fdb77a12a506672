// connect.dat, the connection profiles: whatever the file holds, the store lists the whole
// records, reports a damaged length, finds the last record of a name, and every record it reads
// writes back to bytes that read the same.

#include "RecordFuzzing.h"

#include "app/ProfileStore.h"

using namespace zephra::app;

namespace {

bool same(const ConnectionRecord& a, const ConnectionRecord& b)
{
    return a.name == b.name && a.address == b.address && a.user == b.user && a.password == b.password
        && a.passive == b.passive && a.port == b.port;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const ProfileStore store(zephra::fuzz::storeDirWith(ProfileStore::kFileName, data, size));
    const ProfileStore::Listing listing = store.names();
    const std::size_t whole = size / ConnectionRecord::kSize;
    FUZZ_CHECK(std::size_t(listing.names.size()) == whole);
    FUZZ_CHECK(listing.error.isEmpty() == (size % ConnectionRecord::kSize == 0));

    const QByteArrayView bytes(reinterpret_cast<const char*>(data), qsizetype(size));
    QList<ConnectionRecord> records;
    for (std::size_t i = 0; i < whole; ++i) {
        const auto record = ConnectionRecord::read(bytes.sliced(qsizetype(i * ConnectionRecord::kSize), ConnectionRecord::kSize));
        FUZZ_CHECK(record.has_value());
        FUZZ_CHECK(record->name == listing.names[qsizetype(i)]);
        QString error;
        const auto written = record->write(&error);
        FUZZ_CHECK(written.has_value());
        FUZZ_CHECK(written->size() == ConnectionRecord::kSize);
        const auto back = ConnectionRecord::read(*written);
        FUZZ_CHECK(back.has_value() && same(*back, *record));
        records.append(*record);
    }
    // Looking up each name finds its last record (a few names: each lookup reads the file).
    for (qsizetype i = 0; i < records.size() && i < 4; ++i) {
        const auto found = store.find(records[i].name);
        FUZZ_CHECK(found.has_value());
        qsizetype last = i;
        for (qsizetype j = i; j < records.size(); ++j) {
            if (records[j].name == records[i].name)
                last = j;
        }
        FUZZ_CHECK(same(*found, records[last]));
    }
    FUZZ_CHECK(!ConnectionRecord::read(bytes.first(qMin<qsizetype>(bytes.size(), ConnectionRecord::kSize - 1))));
    return 0;
}
