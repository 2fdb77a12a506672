#pragma once
// The Cipher the engine hands out: one keyspace's machine and the kernel chosen for this CPU.

#include "crypto/Engine.h"
#include "crypto/Machine.h"
#include "crypto/kernels/Kernels.h"

#include <memory>

namespace zephra::crypto {

class RotorCipher final : public Cipher {
public:
    // kernel: the kernel's name, or "" for ZEPHRA_CIPHER_KERNEL if set, else the best supported.
    // Check usable() before use: a forced kernel may not run on this CPU.
    RotorCipher(const Machine& machine, std::string_view kernel);

    bool usable() const { return m_kernel != nullptr; }
    void process(Direction dir, std::uint64_t position, const std::uint8_t* in, std::uint8_t* out,
                 std::size_t n) const override;
    std::string_view kernelName() const override { return m_kernel ? m_kernel->name : std::string_view(); }

private:
    std::unique_ptr<Machine> m_machine;
    const Kernel* m_kernel = nullptr;
};

}  // namespace zephra::crypto
