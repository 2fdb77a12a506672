#pragma once
// The cipher kernels: each processes a byte range at any position with the machine of one
// keyspace. Every kernel gives the same bytes; they differ only in speed. Each SIMD kernel
// lives in its own file, compiled with only its own CPU flags.

#include "crypto/Machine.h"

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

namespace zephra::crypto {

using KernelFn = void (*)(const Machine& m, bool decrypt, std::uint64_t position,
                          const std::uint8_t* in, std::uint8_t* out, std::size_t n);

struct Kernel {
    std::string_view name;
    bool (*supported)();
    KernelFn run;
};

// Best first; the last is the portable scalar kernel, which every CPU runs.
std::span<const Kernel> kernelTable();
// The kernel named by ZEPHRA_CIPHER_KERNEL if set and supported (nullptr if set but unusable),
// else the best supported one.
const Kernel* chooseKernel(std::string_view forced);

void runScalar(const Machine& m, bool decrypt, std::uint64_t position, const std::uint8_t* in,
               std::uint8_t* out, std::size_t n);
void runAvx512Vbmi(const Machine& m, bool decrypt, std::uint64_t position, const std::uint8_t* in,
                   std::uint8_t* out, std::size_t n);

}  // namespace zephra::crypto
