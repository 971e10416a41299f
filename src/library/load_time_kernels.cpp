#include "planes/fixed_kernels.h"

// The filter kernels live as long as the library: the loader runs these initialisers before the host can
// reach any export, and their destructors release the kernels when the library is unloaded. Nothing
// else runs at load.
namespace hdrmeter {
namespace planes {

const cv::Mat horizontalKernel = buildHorizontalKernel();
const cv::Mat verticalKernel = buildVerticalKernel();

}  // namespace planes
}  // namespace hdrmeter
