#ifndef HDRMETER_PLANES_STRIPE_LAYOUT_H
#define HDRMETER_PLANES_STRIPE_LAYOUT_H

#include <vector>

namespace hdrmeter {
namespace planes {

// A band of rows or of columns, in samples along the axis being cut.
struct Stripe {
    int start;
    int length;
};

// Cuts `extent` rows or columns into stripeCount stripes of extent / stripeCount each, the last one
// taking the remainder, and returns the non-empty ones in order. Empty stripes are left out because
// filtering nothing changes nothing (and cv::filter2D refuses an empty matrix). A stripeCount of 0
// cuts like 1; a negative stripeCount gives no stripe at all.
std::vector<Stripe> stripeLayout(int extent, int stripeCount);

}  // namespace planes
}  // namespace hdrmeter

#endif  // HDRMETER_PLANES_STRIPE_LAYOUT_H
