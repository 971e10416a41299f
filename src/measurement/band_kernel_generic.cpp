// The band kernel for any x86-64 (or other) processor, and the choice of build at run time.
#define HDRMETER_KERNEL_SET genericKernels
#include "measurement/band_kernel_impl.h"

namespace hdrmeter {
namespace detail {

bool cpuHasAvx2() {
#if defined(HDRMETER_HAVE_AVX2_KERNEL)
    return __builtin_cpu_supports("avx2");
#else
    return false;
#endif
}

#if !defined(HDRMETER_HAVE_AVX2_KERNEL)
const KernelSet& avx2Kernels() { return genericKernels(); }
#endif

const KernelSet& kernels() {
    static const KernelSet& chosen = cpuHasAvx2() ? avx2Kernels() : genericKernels();
    return chosen;
}

}  // namespace detail
}  // namespace hdrmeter
