// The band kernel built for processors with AVX2; chosen at run time.
#define HDRMETER_KERNEL_SET avx2Kernels
#include "measurement/band_kernel_impl.h"
