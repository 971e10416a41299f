// The fast band measurement built for processors with AVX2; chosen at run time.
#define HDRMETER_KERNEL_NAME measureFastBandAvx2
#define HDRMETER_FILL_NAME fillDoublesAvx2
#include "measurement/band_kernel_impl.h"
