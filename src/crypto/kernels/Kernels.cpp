#include "crypto/kernels/Kernels.h"


namespace zephra::crypto {

namespace {

bool always() { return true; }

#ifdef ZEPHRA_KERNEL_AVX512VBMI
bool hasAvx512Vbmi()
{
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") &&
           __builtin_cpu_supports("avx512vbmi");
}
#endif

constexpr Kernel kKernels[] = {
#ifdef ZEPHRA_KERNEL_AVX512VBMI
    {"avx512vbmi", &hasAvx512Vbmi, &runAvx512Vbmi},
#endif
    {"scalar", &always, &runScalar},
};

}  // namespace

std::span<const Kernel> kernelTable() { return kKernels; }

const Kernel* chooseKernel(std::string_view forced)
{
    for (const Kernel& k : kKernels) {
        if (forced.empty() ? k.supported() : k.name == forced)
            return forced.empty() || k.supported() ? &k : nullptr;
    }
    return nullptr;
}

}  // namespace zephra::crypto
