// Drives the measurement engine and the plane exports with sizes, layouts, depths, task and stripe counts
// drawn from the input, always inside what a host may pass. The engine is held to the oracle, the striped
// filters to their one-stripe result (which the plane tests hold to the filter's definition); under the
// sanitizers every call must also stay within its buffers.
#include <cstdint>

#include "fuzz_input.h"
#include "random_cases.h"

using fuzzing::check;
using namespace reliability;

namespace {

void fuzzEngine(fuzzing::FuzzInput& in) {
    HDR_Info info = randomInfo(in, 8);
    const HDR_Info asGiven = info;
    CHDR_Measurements meter;
    check(meter.InitializeMeasurements(info), "configuration refused");
    MeasurementOracle oracle(asGiven);
    double top1 = asGiven.topLevel1Nits, top2 = asGiven.topLevel2Nits, bottom = asGiven.bottomLevelNits;
    oracle.expectedLevelNits(asGiven, top1, top2, bottom);
    check(info.topLevel1Nits == top1 && info.topLevel2Nits == top2 && info.bottomLevelNits == bottom,
          "levels written back in nits");
    for (int frame = static_cast<int>(in.next() % 3); frame >= 0; --frame) {
        check(matchesOracle(meter, oracle, randomFrame(in, info.bitDepth, 48, 24), pick(in, -2, 9)), "frame measured");
    }
    // A copy measures on with the shared tables after its source lets go of them and is configured anew.
    CHDR_Measurements copy(meter);
    meter.Destroy_LUT();
    check(matchesOracle(copy, oracle, randomFrame(in, info.bitDepth, 64, 32), pick(in, 0, 7)), "copy measures alone");
    HDR_Info other = randomInfo(in, 8);
    check(meter.InitializeMeasurements(other), "configuration again refused");
    MeasurementOracle otherOracle(other);
    check(matchesOracle(meter, otherOracle, randomFrame(in, other.bitDepth, 40, 20), pick(in, 0, 5)), "reconfigured");
}

// Any stripe count gives the one-stripe result, on planes of any size down to empty, and every export
// leaves its planes and numbers the same when called again.
void fuzzPlanes(fuzzing::FuzzInput& in) {
    const int width = pick(in, 0, 48), stripes = pick(in, 0, 9);
    const PlaneSet planes = randomPlanes(in, width, pick(in, 0, 24));
    for (const PlaneCall& c : kPlaneCalls) {
        PlaneSet striped = planes, whole = planes;
        check(c.call(striped, stripes) == c.call(whole, 1), c.name);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    fuzzing::FuzzInput in(data, size);
    if (in.next() % 3 == 0) {
        fuzzEngine(in);
    } else {
        fuzzPlanes(in);
    }
    return 0;
}
