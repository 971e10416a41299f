#ifndef HDRMETER_CLIP_MERGE_RUN_H
#define HDRMETER_CLIP_MERGE_RUN_H

#include <memory>

#include <hdrmeter/clip.h>

#include "sources/frame_source.h"

namespace hdrmeter::clip {

// One run over frames measured before (checked, in order, of one measurement): every output of
// `request` written as a run that measured them would write it.
Report measurePartials(const Request& request, std::shared_ptr<const PartialResults> partials,
                       Observer* observer, StopRequest* stop);

}  // namespace hdrmeter::clip

#endif
