#include "crypto/sealed/KeyRing.h"

#include "crypto/sealed/SealedMessages.h"

#include <algorithm>
#include <string>

namespace zephra::crypto::sealed {

Status KeyRing::create(std::string_view keyText, std::shared_ptr<KeyRing>& out)
{
    // SecretBytes of size 0 would be no allocation at all; an empty key is refused earlier.
    if (keyText.empty())
        return Status::failure(ErrorKind::InvalidKey, "the key is empty");
    std::shared_ptr<KeyRing> ring(new KeyRing(keyText.size()));
    if (!ring->m_text.ok())
        return Status::failure(ErrorKind::Io, message::cipherLibrary());
    std::copy(keyText.begin(), keyText.end(), ring->m_text.data());
    out = std::move(ring);
    return Status::success();
}

KeyRing::~KeyRing() = default;  // SecretBytes and MasterKey wipe themselves

bool KeyRing::holds(const KdfParams& params) const
{
    std::lock_guard lock(m_mutex);
    return std::any_of(m_keys.begin(), m_keys.end(), [&](const auto& k) { return k->params() == params; });
}

Status KeyRing::master(const KdfParams& params, std::shared_ptr<const MasterKey>& out)
{
    if (Status s = checkKdfParams(params); !s.ok())
        return s;
    // Held for the derivation too: two transfers asking for one cost derive it once.
    std::lock_guard lock(m_mutex);
    for (const auto& key : m_keys) {
        if (key->params() == params) {
            out = key;
            return Status::success();
        }
    }
    std::unique_ptr<MasterKey> derived;
    const std::string_view text(reinterpret_cast<const char*>(m_text.data()), m_text.size());
    if (Status s = MasterKey::derive(text, params, derived); !s.ok())
        return s;
    // The oldest foreign cost makes room (a transfer still using it keeps its share); the
    // default, the first one derived, stays.
    if (m_keys.size() >= kMaxKeys)
        m_keys.erase(m_keys.begin() + 1);
    out = std::shared_ptr<const MasterKey>(std::move(derived));
    m_keys.push_back(out);
    return Status::success();
}

}  // namespace zephra::crypto::sealed
