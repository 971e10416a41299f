#include "frame_source.h"

#include "demo_clip.h"
#include "libav/libav_container.h"
#include "libav_source.h"
#include "mapped_source.h"
#include "partial_source.h"
#include "sequence_source.h"

namespace hdrmeter::clip {

std::unique_ptr<FrameSource> openFrameSource(const SourceOptions& options, bool demo, const StopRequest* stop)
{
    if (demo)
        return std::make_unique<DemoSource>();
    if (options.partials)
        return std::make_unique<PartialSource>(options.partials, stop);
    if (!options.raw && !options.replay)
        if (std::optional<ImageSequence> sequence = findImageSequence(options.path))
            return std::make_unique<SequenceSource>(std::move(*sequence), options, stop);
    auto container = std::make_unique<LibavContainer>(options, stop);
    if ((options.start || options.end) && container->headerOnly())
        throw InputError(container->facts().name + " is " + container->facts().container +
                         ", which has no presentation times to cut: wrap it in a container first, e.g. with "
                         "ffmpeg -i IN -c:v ffv1 OUT.mkv, or measure it whole");
    // Mapping needs a file whose size is known, and the host's leave to catch the SIGBUS of a file cut
    // short under it; anything else is read as packets.
    if (container->headerOnly() && container->input().regularFile()) {
        const int guardSlot = claimMappedReadSlot();
        if (guardSlot >= 0)
            return std::make_unique<MappedSource>(std::move(container), guardSlot);
    }
    return std::make_unique<LibavSource>(std::move(container), options.acceptDamaged);
}

}  // namespace hdrmeter::clip
