// One run: the request checked, the input opened, the outputs created, the clip measured while the
// per-frame outputs take their rows, and the report written to whatever else was asked for.
#include <chrono>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include <hdrmeter/clip.h>

extern "C" {
#include <libavutil/log.h>
}

#include "clip_errors.h"
#include "clip_measurement.h"
#include "libav/libav_messages.h"
#include "output/output_writers.h"
#include "files/output_file.h"
#include "writing.h"
#include "merge_run.h"
#include "partial/partial_file.h"
#include "request_rules.h"
#include "verify/dovi_checks.h"
#include "verify/verification.h"

namespace hdrmeter::clip {

Observer::~Observer() = default;
void Observer::progress(int, long long, std::optional<long long>) {}
void Observer::ffmpegMessage(int, const std::string&) {}
void Observer::warning(const std::string&) {}

std::string plotSvg(const Report& report)
{
    return textOf([&report](const TextSink& out) { writePlot(report, framesOf(report), out); });
}

AnalysisSettings analysisSettingsOf(const Request& request)
{
    AnalysisSettings analysis;
    analysis.thresholdNits = request.thresholdNits;
    analysis.top1Percent = request.top1Percent;
    analysis.top2Percent = request.top2Percent;
    analysis.bottomPercent = request.bottomPercent;
    analysis.taskCount = request.tasks;
    if (request.classParity)
        analysis.arithmetic = Arithmetic::classParity();
    return analysis;
}

namespace {

MeasureOptions measureOptionsOf(const Request& request)
{
    MeasureOptions options;
    ClipOptions& clip = options.clip;
    clip.demo = request.demo;
    clip.source.path = request.input;
    clip.source.streamIndex = request.stream;
    clip.source.raw = request.raw;
    clip.source.start = request.start;
    clip.source.end = request.end;
    clip.source.sequenceRate = request.frameRate;
    clip.source.assetMap = request.assetMap;
    // Standard input is read once; the automatic area may need it twice.
    clip.source.copyStandardInput = request.areaMode == AreaMode::Auto && !request.demo && request.input == "-";
    clip.transfer = request.transfer;
    clip.matrix = request.matrix;
    clip.lumaChecks = request.lumaChecks;
    clip.acceptDamaged = request.acceptDamaged;
    clip.analysis = analysisSettingsOf(request);
    options.areaMode = request.areaMode;
    options.givenArea = request.area;
    options.barsTolerance = request.barsTolerance;
    options.sceneThreshold = request.sceneThreshold;
    options.minSceneFrames = request.minSceneFrames;
    options.sceneCuts = request.sceneCuts;
    if (options.sceneCuts && (options.sceneCuts->empty() || options.sceneCuts->front() != 0))
        options.sceneCuts->insert(options.sceneCuts->begin(), 0);
    options.frameLimit = request.frameLimit;
    options.sceneStatistics = !request.hdr10PlusPath.empty() || request.verify || !request.verifyJsonPath.empty();
    options.robustFramePercent = request.robustFramePercent;
    options.robustClipPercent = request.robustClipPercent;
    options.peakPicture = !request.reportPath.empty();
    return options;
}

// One output file of the run and its writer.
struct OutputSink {
    OutputSink(const OutputSpec& entry, std::unique_ptr<OutputWriter> writer)
        : entry(entry), writer(std::move(writer))
    {
    }
    const OutputSpec& entry;
    std::unique_ptr<OutputWriter> writer;
    std::unique_ptr<OutputFile> file;  // made once the input is open and no output names it
};

// "the frame", "the 3 frames".
std::string framesText(long long count, const char* one, const char* many)
{
    return count == 1 ? std::string(one) : std::string(many) + " " + std::to_string(count) + " frames";
}

class Run {
public:
    Run(const Request& request, Observer* observer, StopRequest* stop,
        std::shared_ptr<const PartialResults> partials = nullptr)
        : observer_(observer), stop_(stop ? stop : &ownStop_), replaying_(partials != nullptr)
    {
        report_.request = request;
        report_.request.verify = request.verify || !request.verifyJsonPath.empty();
        // A merge's request holds the list its segments read already.
        if (!request.sceneCutsFile.empty() && !request.sceneCuts) {
            try {
                report_.request.sceneCuts = readSceneCutList(request.sceneCutsFile);
            } catch (const std::invalid_argument& error) {
                throw RequestError(mention("scene_cuts", request.sceneCutsFile) + ": " + error.what());
            }
        }
        if (!request.demo && request.input == "-" && request.areaMode == AreaMode::Auto)
            warn("the active area is found in one pass over standard input, so its bytes are kept in a temporary "
                 "file in $TMPDIR for a second pass; " +
                 mention("active_area", "full") + " or a given area avoids it");
        MeasureOptions options = measureOptionsOf(report_.request);
        options.clip.source.log = libavLog_;
        options.clip.warning = [this](const std::string& line) { warn(line); };
        options.clip.source.partials = std::move(partials);
        // An output that keeps every frame's statistics or content is handed them as each frame is measured.
        const Columns columns = columnsOf(request);
        bool keepStatistics = false, keepContent = false;
        for (const OutputSpec& entry : outputTable())
            if (!(request.*entry.path).empty()) {
                outputs_.push_back(std::make_unique<OutputSink>(entry, outputWriter(entry.output, request, columns)));
                keepStatistics = keepStatistics || outputs_.back()->writer->keepsStatistics();
                keepContent = keepContent || outputs_.back()->writer->keepsContent();
            }
        if (keepStatistics)
            options.frameStatistics = [this](std::size_t position, const FrameStatistics& statistics) {
                for (const auto& output : outputs_)
                    output->writer->statistics(position, statistics);
            };
        if (keepContent)
            options.frameContent = [this](std::size_t position, const ContentBounds& content) {
                for (const auto& output : outputs_)
                    output->writer->content(position, content);
            };
        if (report_.request.verify)
            options.statedFrame = [scenes = &statedScenes_](long long frame, const StatedHdr10Plus& stated, bool damaged,
                                                            const FrameStatistics& wholePicture) {
                scenes->add(frame, stated, damaged, wholePicture);
            };
        measurement_ = std::make_unique<ClipMeasurement>(options, stop_);
        std::vector<std::pair<std::string, std::string>> paths;
        for (const OutputSpec& entry : outputTable())
            if (!(request.*entry.path).empty())
                paths.emplace_back(entry.setting, request.*entry.path);
        checkOutputsApart(paths, measurement_->clip().inputIdentity());
        for (const auto& output : outputs_) {
            output->file = std::make_unique<OutputFile>(request.*output->entry.path);
            output->writer->begin(*output->file);
        }
    }

    Report run()
    {
        const auto start = std::chrono::steady_clock::now();
        auto lastFrame = start;
        const bool automatic = report_.request.areaMode == AreaMode::Auto;
        measurement_->run(
            [&](const FrameRecord& record) {
                for (const auto& output : outputs_) {
                    output->writer->frame(record, measurement_->clip().facts().frameRate, *output->file);
                    // Nobody reads what a closed pipe would carry: stop at once instead of measuring for nobody.
                    if (output->file->failed())
                        outputGone(*output);
                }
                // Damaged frames are written, flagged, but no statistic rests on them.
                if (record.damaged)
                    report_.damagedFrames.push_back(record.numbers.frame);
                else
                    report_.summary.add(record.numbers, record.pixels);
                if (report_.sizes.empty() || report_.sizes.back().width != record.width ||
                    report_.sizes.back().height != record.height)
                    report_.sizes.push_back({record.width, record.height, record.numbers.frame, 0});
                ++report_.sizes.back().frameCount;
                // Presentation times that skip frame numbers: frames the stream lost.
                for (long long missing = nextFrame_ ? *nextFrame_ : record.numbers.frame; missing < record.numbers.frame;
                     ++missing)
                    report_.missingFrames.push_back(missing);
                nextFrame_ = record.numbers.frame + 1;
            },
            [&](int pass, long long framesDone, std::optional<long long> frames) {
                lastFrame = std::chrono::steady_clock::now();
                // The automatic area holds rows back to the end: a pipe whose reader left is found by asking.
                for (const auto& output : outputs_)
                    if (automatic && output->entry.perFrame && output->file->pipeReaderGone())
                        outputGone(*output);
                passLibavLines(false);
                if (observer_)
                    observer_->progress(pass, framesDone, frames);
            });
        passLibavLines(true);
        // A merge replays frames measured before: how fast it reads them says nothing of measuring.
        report_.elapsedSeconds = replaying_ ? 0.0 : std::chrono::duration<double>(lastFrame - start).count();
        fillReport();
        finishOutputs();
        return std::move(report_);
    }

private:
    void warn(const std::string& line)
    {
        report_.warnings.push_back(line);
        if (observer_)
            observer_->warning(line);
    }

    // FFmpeg's lines about this run, at most LibavRunLog::kKeptLines of them; the last call says how many
    // more there were.
    void passLibavLines(bool last)
    {
        long long leftOut = 0;
        const std::vector<std::pair<int, std::string>> lines = libavLog_->takeLines(leftOut);
        libavLinesLeftOut_ += leftOut;
        for (const auto& [level, line] : lines) {
            if (libavLinesPassed_ == LibavRunLog::kKeptLines) {
                ++libavLinesLeftOut_;
                continue;
            }
            ++libavLinesPassed_;
            if (observer_)
                observer_->ffmpegMessage(level, line);
        }
        if (last && libavLinesLeftOut_ > 0 && observer_)
            observer_->ffmpegMessage(AV_LOG_WARNING, "FFmpeg wrote " + std::to_string(libavLinesLeftOut_) +
                                                         " more messages, left out");
    }

    void outputGone(OutputSink& output)
    {
        if (goneOutput_)
            return;
        goneOutput_ = &output;
        stop_->request("an output's reader went away");
    }

    void fillReport()
    {
        ClipMeasurement& measurement = *measurement_;
        const ClipRun& clip = measurement.clip();
        report_.stream = clip.facts();
        report_.metadata = clip.staticMetadata();
        report_.area = measurement.area();
        report_.areaEdgeFrames = measurement.areaEdgeFrames();
        report_.scenes = measurement.scenes();
        report_.secondPassFrames = measurement.secondPassFrames();
        report_.secondPassSeconds = measurement.secondPassSeconds();
        report_.framesLeftOut = measurement.framesLeftOut();
        report_.leftOutReason = measurement.leftOutReason();
        if (report_.request.keepFrames)
            measurement.forEachFrame([this](const FrameRecord& record) { report_.frames.push_back(record); });
        tracePeaks();
        report_.dolbyVision =
            doviStatementOf(report_.stream, [this](const FrameVisitor& visit) { measurement_->forEachFrame(visit); });
        if (report_.request.verify) {
            const Request& request = report_.request;
            MeasuredSpan span;
            span.fromFirstFrame = clip.facts().startMicroseconds.value_or(0) <= 0;
            span.toLastFrame = !stop_->requested() && measurement.failure().empty() && !clip.segmentEndReached() &&
                               !(request.frameLimit && report_.summary.framesMeasured() + report_.damagedFrames.size() >=
                                                           static_cast<std::size_t>(*request.frameLimit));
            report_.verification =
                verificationOf(report_, [this](const FrameVisitor& visit) { measurement_->forEachFrame(visit); },
                               statedScenes_.scenes(), span);
        }

        if (report_.ending == Ending::Complete && report_.request.sceneCuts && nextFrame_) {
            const long long end = *nextFrame_;
            std::string unused;
            for (long long cut : *report_.request.sceneCuts)
                if (cut >= end)
                    unused += (unused.empty() ? "" : ", ") + std::to_string(cut);
            if (!unused.empty())
                warn("the scene cuts at " + unused + " lie past the clip's last frame, " + std::to_string(end - 1) +
                     ", and were not used");
        }
        const long long measured = report_.summary.framesMeasured();
        // Every frame damaged: nothing the metadata states would rest on a picture. A segment's part is
        // still written, for a merge whose other parts hold clean frames.
        const bool noCleanFrame = measured == 0 && !report_.damagedFrames.empty() && report_.request.partialPath.empty();
        if (goneOutput_) {
            report_.ending = Ending::Failed;
            report_.failedAtFrame = measured;
        } else if (stop_->requested()) {
            report_.ending = Ending::Stopped;
            report_.stopReason = stop_->reason();
        } else if (!measurement.failure().empty()) {
            report_.ending = Ending::Failed;
            report_.failedAtFrame = measurement.failedAtFrame();
            if (measurement.failedInSecondPass())
                report_.failure = measurement.failure() + "; " + framesText(report_.framesLeftOut, "the frame", "the") +
                                  " before the area was final " + (report_.framesLeftOut == 1 ? "is" : "are") +
                                  " left out of every output";
            else
                report_.failure = measurement.failure() + "; " +
                                  (measured == 0 ? std::string("no frame was measured")
                                                 : framesText(measured, "the frame", "the") + " before it " +
                                                       (measured == 1 ? "was" : "were") + " measured and summarised");
        } else if (noCleanFrame) {
            report_.ending = Ending::Failed;
            report_.failedAtFrame = 0;
            report_.failure = "every one of the " + std::to_string(report_.damagedFrames.size()) +
                              " frames measured is damaged, so no statistic rests on a clean frame: measure a stretch "
                              "the decoder decodes whole";
        }
    }

    void tracePeaks()
    {
        const ClipMeasurement& measurement = *measurement_;
        const FramePeak& maxCll = report_.summary.maxCll();
        report_.robustPeaks = measurement.robustPeaks();
        // A trace whose frame was left out (a second pass that did not end) traces nothing reported.
        const std::optional<PeakTrace>& trace = measurement.maxCllTrace();
        if (!trace || !maxCll.any() || trace->nits != maxCll.value() || trace->frame != maxCll.firstFrames().front())
            return;
        report_.maxCllTrace = trace;
        const Request& request = report_.request;
        if (trace->mostPixels >= request.fewPeakPixels)
            return;
        warn("MaxCLL " + std::to_string(wholeNits(trace->nits)) + " nits rests on " +
             std::to_string(trace->mostPixels) + (trace->mostPixels == 1 ? " pixel" : " pixels") +
             " (frame " + std::to_string(trace->frame) + ", x " + std::to_string(trace->x) + ", y " +
             std::to_string(trace->y) + "), fewer than " + std::to_string(request.fewPeakPixels) +
             ": check them for hot pixels or overshoot; the robust MaxCLL is " +
             std::to_string(report_.robustPeaks ? wholeNits(report_.robustPeaks->maxCllNits) : 0) + " nits and " +
             mention("robust_peaks") + " writes it into the metadata");
    }

    void finishOutputs()
    {
        const ResolvedDisplay display = resolveMasteringDisplay(report_.metadata, report_.stream.primariesTag,
                                                                report_.request.masteringDisplay);
        if (!report_.request.doviConfigPath.empty() && display.luminanceFrom == DisplayOrigin::Assumed)
            warn("the stream states no mastering display: the Dolby Vision config assumes 1000 and 0.0001 nits; give " +
                 mention("mastering_display", "MAX,MIN") + " for another");
        if (!report_.request.doviConfigPath.empty() && display.primariesFrom == DisplayOrigin::Assumed)
            warn("neither the stream's metadata nor its tags state the mastering display's primaries: the Dolby Vision "
                 "config assumes BT.2020; give " +
                 mention("mastering_display", "p3-d65,MAX,MIN") +
                 " or the primaries in use");
        if (!report_.request.hdr10PlusPath.empty() && report_.stream.colour.transfer == Transfer::Hlg)
            warn("HDR10+ describes PQ streams: the HDR10+ file of this HLG input describes its PQ rendition on a "
                 "1000-nit display, for an encode converted so");
        // A run that ended early never replaces a complete file written before; its metadata files would
        // not line up with the stream if frames measured before the area was final are left out.
        const bool complete = report_.ending == Ending::Complete;
        RunOutcome outcome{report_, [this](const FrameVisitor& visit) { measurement_->forEachFrame(visit); }};
        const std::optional<PeakPicture>& picture = measurement_->peakPicture();
        outcome.peakPicture = picture ? &*picture : nullptr;
        outcome.inputEnded = !measurement_->clip().segmentEndReached();
        outcome.startMicroseconds = measurement_->clip().facts().startMicroseconds;
        outcome.endMicroseconds = measurement_->clip().facts().endMicroseconds;
        for (const auto& output : outputs_) {
            std::string refusal = output->writer->describesStream() ? unalignedReason() : std::string();
            if (refusal.empty()) {
                try {
                    refusal = output->writer->finish(outcome, *output->file);
                } catch (const std::runtime_error& error) {
                    refusal = error.what();
                }
            }
            if (!refusal.empty()) {
                output->file->abandon();
                report_.outputFailures.push_back(mention(output->entry.setting, output->file->path()) +
                                                 " was not written: " + refusal);
                continue;
            }
            try {
                OutputFile& file = *output->file;
                const std::string written = file.close(!complete);
                if (!written.empty() && written != file.finalPath())
                    report_.outputFailures.push_back(
                        std::string(report_.ending == Ending::Stopped ? "the run was stopped" : "the run failed") +
                        ", so " + file.path() + " was left as it was; what was measured is in " +
                        OutputFile::partialPath(file.path()));
            } catch (const InputError& error) {
                if (output.get() == goneOutput_)
                    report_.failure = std::string(error.what()) +
                                      (output->file->readerWentAway() ? " (its reader went away); the run stopped there"
                                                                       : "");
                else
                    report_.outputFailures.push_back(error.what());
            }
        }
        if (goneOutput_ && report_.failure.empty())
            report_.failure = "the reader of " + goneOutput_->file->path() + " went away; the run stopped there";
    }

    // Why a file that describes the stream frame by frame would not describe it; empty when it would.
    std::string unalignedReason() const
    {
        if (report_.summary.framesMeasured() == 0)
            return "no clean frame was measured, so it would describe no picture";
        if (report_.framesLeftOut > 0)
            return "the " + std::to_string(report_.framesLeftOut) + " frames before the area was final are left out, " +
                   "so it would not line up with the stream; measure again to the end, or give " +
                   mention("active_area", "full") + " or a given area";
        return {};
    }

    Observer* observer_;
    std::shared_ptr<LibavRunLog> libavLog_ = std::make_shared<LibavRunLog>();
    std::size_t libavLinesPassed_ = 0;
    long long libavLinesLeftOut_ = 0;
    StopRequest ownStop_;
    StopRequest* stop_;
    bool replaying_;
    Report report_;
    StatedScenes statedScenes_;
    std::unique_ptr<ClipMeasurement> measurement_;
    std::vector<std::unique_ptr<OutputSink>> outputs_;
    OutputSink* goneOutput_ = nullptr;
    std::optional<long long> nextFrame_;  // after the last frame handed out
};

}  // namespace

Report measure(const Request& request, Observer* observer, StopRequest* stop)
{
    if (const std::string reason = validate(request); !reason.empty())
        throw RequestError(reason);
    Run run(request, observer, stop);
    return run.run();
}

Report measurePartials(const Request& request, std::shared_ptr<const PartialResults> partials, Observer* observer,
                       StopRequest* stop)
{
    Run run(request, observer, stop, std::move(partials));
    return run.run();
}

}  // namespace hdrmeter::clip
