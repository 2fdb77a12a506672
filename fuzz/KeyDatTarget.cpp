// key.dat, the key store: whatever the file holds, the store lists the whole records, reports a
// damaged length, finds the first key of a name, and every record it reads writes back to bytes
// that read the same.

#include "RecordFuzzing.h"

#include "keys/KeyStore.h"

using namespace zephra::keys;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const QString dir = zephra::fuzz::storeDirWith(KeyStore::kFileName, data, size);
    const KeyStore store(dir);
    const KeyStore::Listing listing = store.names();
    const std::size_t whole = size / KeyRecord::kSize;
    FUZZ_CHECK(std::size_t(listing.names.size()) == whole);
    FUZZ_CHECK(listing.error.isEmpty() == (size % KeyRecord::kSize == 0));

    const QByteArrayView bytes(reinterpret_cast<const char*>(data), qsizetype(size));
    QList<KeyRecord> records;
    for (std::size_t i = 0; i < whole; ++i) {
        const auto record = KeyRecord::read(bytes.sliced(qsizetype(i * KeyRecord::kSize), KeyRecord::kSize));
        FUZZ_CHECK(record.has_value());
        FUZZ_CHECK(record->name == listing.names[qsizetype(i)]);
        QString error;
        const auto written = record->write(&error);
        FUZZ_CHECK(written.has_value() && written->size() == KeyRecord::kSize);
        const auto back = KeyRecord::read(*written);
        FUZZ_CHECK(back.has_value() && back->name == record->name && back->key == record->key);
        records.append(*record);
    }
    // The first record of a name wins, through the store and through the lookup the command-line
    // tool uses (a few names: each lookup reads the file).
    for (qsizetype i = 0; i < records.size() && i < 4; ++i) {
        qsizetype first = 0;
        while (records[first].name != records[i].name)
            ++first;
        FUZZ_CHECK(store.keyFor(records[i].name) == records[first].key);
        FUZZ_CHECK(findKeyByName(dir, records[i].name) == records[first].key);
    }
    return 0;
}
