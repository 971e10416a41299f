#include "planes/stripe_layout.h"

namespace hdrmeter {
namespace planes {

std::vector<Stripe> stripeLayout(int extent, int stripeCount)
{
    std::vector<Stripe> stripes;
    if (stripeCount < 0 || extent <= 0) {
        return stripes;
    }
    // Zero stripes would divide by zero; one stripe is the nearest meaningful request.
    const int usableStripeCount = stripeCount == 0 ? 1 : stripeCount;
    const int lengthPerStripe = extent / usableStripeCount;
    if (lengthPerStripe == 0) {
        // Every stripe but the last is empty, and the last one covers everything.
        stripes.push_back(Stripe{0, extent});
        return stripes;
    }
    stripes.reserve(static_cast<std::size_t>(usableStripeCount));
    int start = 0;
    for (int index = 0; index < usableStripeCount; ++index) {
        const bool isLast = index == usableStripeCount - 1;
        const int length = isLast ? extent - start : lengthPerStripe;
        stripes.push_back(Stripe{start, length});
        start += length;
    }
    return stripes;
}

}  // namespace planes
}  // namespace hdrmeter
