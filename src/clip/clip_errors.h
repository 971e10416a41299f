// The clip layer's two kinds of failure are public (hdrmeter/clip.h): RequestError for a request that
// cannot be carried out, InputError for an input that cannot be measured. The tool maps them to its exit
// statuses 2 and 1.
#ifndef HDRMETER_CLIP_ERRORS_H
#define HDRMETER_CLIP_ERRORS_H

#include <hdrmeter/clip.h>

namespace hdrmeter::clip {

using UsageError = RequestError;

constexpr int kExitSuccess = 0;
constexpr int kExitBadInput = 1;
constexpr int kExitBadUsage = 2;

}  // namespace hdrmeter::clip

#endif
