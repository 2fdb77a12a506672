#include "crypto/RotorCipher.h"

#include <cassert>
#include <cstdlib>

namespace zephra::crypto {

RotorCipher::RotorCipher(const Machine& machine, std::string_view kernel)
    : m_machine(std::make_unique<Machine>(machine))
{
    if (kernel.empty()) {
        if (const char* env = std::getenv("ZEPHRA_CIPHER_KERNEL"))
            kernel = env;
    }
    m_kernel = chooseKernel(kernel);
}

void RotorCipher::process(Direction dir, std::uint64_t position, const std::uint8_t* in, std::uint8_t* out,
                          std::size_t n) const
{
    assert(m_kernel);
    if (n == 0)
        return;
    m_kernel->run(*m_machine, dir == Direction::Decrypt, position, in, out, n);
}

}  // namespace zephra::crypto
