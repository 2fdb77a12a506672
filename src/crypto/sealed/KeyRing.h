#pragma once
// The sealed-format keys of one accepted key text, for as long as the key is in force: the key
// text itself and the master keys derived from it, in guarded memory, wiped when the ring goes.
//
// Writers seal under the master key of kDefaultKdf, which an owner derives once (prepare(),
// off the UI thread); a file whose header names other Argon2id costs gets a master key of its
// own the first time one is asked for (on the thread that asks: a transfer's cipher thread).
// Thread-safe; shared between the window and the transfers that still use it.

#include "crypto/Engine.h"
#include "crypto/sealed/SealedFormat.h"
#include "crypto/sealed/SealedKeys.h"

#include <memory>
#include <mutex>
#include <string_view>
#include <utility>
#include <vector>

namespace zephra::crypto::sealed {

class KeyRing final {
public:
    // Keeps a copy of keyText; derives nothing yet.
    static Status create(std::string_view keyText, std::shared_ptr<KeyRing>& out);
    ~KeyRing();
    KeyRing(const KeyRing&) = delete;
    KeyRing& operator=(const KeyRing&) = delete;

    // Derives the master key of params unless it is held already (about 0.2 s for the default).
    // Unsupported for params a reader refuses.
    Status master(const KdfParams& params, std::shared_ptr<const MasterKey>& out);
    // The writers' master key, derived now: what an owner calls once per accepted key.
    Status prepare()
    {
        std::shared_ptr<const MasterKey> unused;
        return master(kDefaultKdf, unused);
    }
    bool holds(const KdfParams& params) const;

private:
    // A few costs at most: a hostile server cannot make the ring grow without bound.
    static constexpr std::size_t kMaxKeys = 4;

    explicit KeyRing(std::size_t textSize) : m_text(textSize) {}

    SecretBytes m_text;
    mutable std::mutex m_mutex;
    std::vector<std::shared_ptr<const MasterKey>> m_keys;  // the default first, once derived
};

}  // namespace zephra::crypto::sealed
