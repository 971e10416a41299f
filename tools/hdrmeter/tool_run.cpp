#include "tool_run.h"

#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <memory>
#include <new>
#include <sstream>

#include <hdrmeter/clip_hooks.h>

#include "clip_measurement.h"
#include "options.h"
#include "output/frame_writers.h"
#include "output/metadata_json.h"
#include "output/output_file.h"
#include "output/summary.h"
#include "output/svg_plot.h"
#include "progress.h"
#include "clip_errors.h"

namespace hdrmeter::clip {

namespace {

StopRequest stopRequest;
std::atomic<int> stopSignal{0};

extern "C" void onStopSignal(int number)
{
    stopSignal.store(number, std::memory_order_relaxed);
    stopRequest.request();
}

void reportError(const std::string& message)
{
    // Messages quote the user's arguments and a stream's header; a line break or other control
    // character in those must not split the one line that scripts read.
    std::string line;
    for (char c : message) {
        if (c == '\n')
            line += "\\n";
        else if (c == '\r')
            line += "\\r";
        else if (static_cast<unsigned char>(c) < 0x20)
            line += '?';
        else
            line += c;
    }
    std::fflush(stdout);
    std::fprintf(stderr, "hdrmeter: %s\n", line.c_str());
}

std::string arithmeticDescription(const Arithmetic& arithmetic)
{
    if (arithmetic.name() == "exact")
        return "exact (ITU-R coefficients, fixed summation, exact ranks)";
    if (arithmetic.name() == "class")
        return "class parity (CHDR_Measurements' coefficients, band summation and percentile ranks)";
    return arithmetic.name();
}

std::string formatDescription(const ClipFacts& facts)
{
    std::string text;
    if (facts.container != "generated")
        text = facts.codec + " in " + facts.container + ", ";
    if (facts.width > 0)
        text += std::to_string(facts.width) + "x" + std::to_string(facts.height) + " " + std::to_string(facts.bitDepth) +
                "-bit " + layoutName(facts.layout) + (facts.range == SampleRange::Full ? " full range" : " narrow range") +
                ", " + describeColour(facts.colour);
    else
        text += "no frame decoded";
    return text;
}

int exitStatusForSignal()
{
    const int number = stopSignal.load(std::memory_order_relaxed);
    return number != 0 ? 128 + number : kExitSuccess;
}

// "3840x1600 at 0,280: 280 rows left out at the top, 280 at the bottom".
std::string describeArea(const ClipFacts& facts, const ActiveArea& area)
{
    std::string text = std::to_string(facts.width - area.left - area.right) + "x" +
                       std::to_string(facts.height - area.top - area.bottom);
    if (area == ActiveArea{})
        return text + ", the whole frame";
    text += " at " + std::to_string(area.left) + "," + std::to_string(area.top) + ":";
    const std::tuple<int, const char*, const char*> edges[] = {
        {area.top, "rows", "top"}, {area.bottom, "rows", "bottom"}, {area.left, "columns", "left"},
        {area.right, "columns", "right"}};
    std::string lastUnit;
    for (const auto& [count, unit, edge] : edges) {
        if (count == 0)
            continue;
        text += lastUnit.empty() ? " " : ", ";
        text += std::to_string(count) + (lastUnit == unit ? "" : std::string(" ") + unit) +
                (lastUnit.empty() ? " left out" : "") + " at the " + edge;
        lastUnit = unit;
    }
    return text;
}

std::string describeScenes(const ClipMeasurement& measurement, const ToolOptions& options)
{
    const std::string count = std::to_string(measurement.scenes().size());
    if (!options.sceneCutsPath.empty())
        return count + " (first frames from " + options.sceneCutsPath + ")";
    char threshold[32];
    std::snprintf(threshold, sizeof threshold, "%g", options.sceneThreshold);
    return count + " (cut where a histogram changes by " + threshold + " or more; at least " +
           std::to_string(options.minSceneFrames) + " frames each)";
}

int measureClip(const ToolOptions& options)
{
    const bool standardInput = !options.clip.demo && options.clip.source.path == "-";
    if (standardInput && !options.inputPathGiven && isatty(STDIN_FILENO))
        throw UsageError("no input: give a FILE, pipe a stream into standard input, or try --demo");

    MeasureOptions measureOptions = measureOptionsOf(options);
    const bool automaticArea = options.area.mode == AreaMode::Auto;
    if (measureOptions.clip.source.copyStandardInput)
        reportError("warning: the active area is found in one pass over standard input, so its bytes are kept "
                    "in a temporary file in $TMPDIR for a second pass; --active-area full or L,T,R,B avoids it");

    ClipMeasurement measurement(measureOptions, &stopRequest);
    const ClipRun& clip = measurement.clip();
    std::vector<std::pair<std::string, std::string>> outputPaths;
    for (const auto& [option, path] : {std::pair<const char*, const std::string*>{"--csv", &options.csvPath},
                                       {"--jsonl", &options.jsonlPath},
                                       {"--plot", &options.plotPath},
                                       {"--summary-json", &options.summaryJsonPath},
                                       {"--hdr10plus", &options.hdr10PlusPath},
                                       {"--dovi-config", &options.doviConfigPath}})
        if (!path->empty())
            outputPaths.emplace_back(option, *path);
    checkOutputsApart(outputPaths, clip.inputIdentity());

    const ColumnSet columns{options.percentiles, options.clip.lumaChecks, options.clip.analysis.arithmetic.name()};
    std::unique_ptr<OutputFile> csvFile, jsonlFile, plotFile;
    std::unique_ptr<CsvWriter> csv;
    std::unique_ptr<JsonLinesWriter> jsonl;
    if (!options.csvPath.empty()) {
        csvFile = std::make_unique<OutputFile>(options.csvPath);
        csv = std::make_unique<CsvWriter>(*csvFile, columns);
    }
    if (!options.jsonlPath.empty()) {
        jsonlFile = std::make_unique<OutputFile>(options.jsonlPath);
        jsonl = std::make_unique<JsonLinesWriter>(*jsonlFile, columns);
    }
    if (!options.plotPath.empty())
        plotFile = std::make_unique<OutputFile>(options.plotPath);
    MetadataFiles metadataFiles(options);
    bool summaryOnStandardError = metadataFiles.takeStandardOutput();
    for (OutputFile* file : {csvFile.get(), jsonlFile.get()})
        summaryOnStandardError = summaryOnStandardError || (file && file->isStandardOutput());

    MeasurementSummary summary;
    std::vector<FrameMeasurement> plottedFrames;
    std::unique_ptr<ProgressReporter> progress;
    int progressPass = 0;
    const auto start = std::chrono::steady_clock::now();
    auto lastFrameMeasured = start;
    bool warned = false;
    std::string outputFailure;
    const auto onFrame = [&](const FrameRecord& record) {
        if (csv)
            csv->write(record.numbers);
        if (jsonl)
            jsonl->write(record.numbers);
        if (plotFile)
            plottedFrames.push_back(record.numbers);
        summary.add(record.numbers);
        // Nobody reads what a closed pipe would carry: stop at once instead of measuring for nobody.
        for (OutputFile* file : {csvFile.get(), jsonlFile.get()})
            if (file && file->failed() && outputFailure.empty()) {
                outputFailure = file->path();
                stopRequest.request();
            }
    };
    const auto onProgress = [&](int pass, long long framesDone, std::optional<long long> frames) {
        lastFrameMeasured = std::chrono::steady_clock::now();
        for (OutputFile* file : {csvFile.get(), jsonlFile.get()})
            if (file && automaticArea && file->pipeReaderGone() && outputFailure.empty()) {
                outputFailure = file->path();
                stopRequest.request();
            }
        if (!warned) {
            warned = true;
            for (const std::string& warning : clip.warnings())
                reportError("warning: " + warning);
        }
        if (pass != progressPass) {
            if (progress)
                progress->finish();
            progress = std::make_unique<ProgressReporter>(isatty(STDERR_FILENO) != 0, frames);
            progressPass = pass;
        }
        progress->frameDone(framesDone);
    };
    measurement.run(onFrame, onProgress);
    const double elapsedSeconds = std::chrono::duration<double>(lastFrameMeasured - start).count();
    if (progress)
        progress->finish();

    const ClipFacts& facts = clip.facts();
    std::vector<std::string> outputFailures;
    const auto closeFile = [&](OutputFile* file) {
        if (!file)
            return;
        try {
            file->close();
        } catch (const InputError& error) {
            outputFailures.push_back(std::string(error.what()) +
                                     (file->readerWentAway() ? " (its reader went away); the run stopped there" : ""));
        }
    };
    closeFile(csvFile.get());
    closeFile(jsonlFile.get());
    if (plotFile) {
        PlotLabels labels;
        labels.title = facts.inputName + " (" + formatDescription(facts) + ")";
        labels.thresholdNits = options.clip.analysis.thresholdNits;
        labels.percentiles = options.percentiles;
        labels.top1Percent = options.clip.analysis.top1Percent;
        labels.top2Percent = options.clip.analysis.top2Percent;
        labels.bottomPercent = options.clip.analysis.bottomPercent;
        plotFile->write(renderLightPlot(plottedFrames, summary, labels));
        closeFile(plotFile.get());
    }
    const int signalNumber = stopSignal.load(std::memory_order_relaxed);
    const StaticMetadata stream = clip.staticMetadata();
    std::vector<std::string> warnings;
    metadataFiles.write(measurement, summary, signalNumber != 0, warnings, outputFailures);
    for (const std::string& warning : warnings)
        reportError("warning: " + warning);

    RunFacts runFacts;
    runFacts.inputName = facts.inputName;
    runFacts.formatDescription = formatDescription(facts);
    runFacts.arithmetic = arithmeticDescription(facts.arithmetic);
    runFacts.thresholdNits = options.clip.analysis.thresholdNits;
    runFacts.elapsedSeconds = elapsedSeconds;
    runFacts.pixelsPerFrame = static_cast<long long>(facts.width - measurement.area().left - measurement.area().right) *
                              (facts.height - measurement.area().top - measurement.area().bottom);
    runFacts.metadata = stream;
    if (facts.width > 0) {
        runFacts.runLines.emplace_back("active area", describeArea(facts, measurement.area()) +
                                                          (automaticArea ? "" : " (--active-area)"));
        runFacts.runLines.emplace_back("scenes", describeScenes(measurement, options));
    }
    if (measurement.secondPassFrames() > 0) {
        char seconds[32];
        std::snprintf(seconds, sizeof seconds, "%.2f s", measurement.secondPassSeconds());
        runFacts.runLines.emplace_back("second pass", "frames 0 to " + std::to_string(measurement.secondPassFrames() - 1) +
                                                          " measured again inside the final area (" + seconds + ")");
    }
    if (measurement.framesLeftOut() > 0)
        runFacts.runLines.emplace_back("left out", std::to_string(measurement.framesLeftOut()) +
                                                       " frames measured before the area was final (" +
                                                       measurement.secondPassFailure() + ")");
    runFacts.closingLines = hdr10Lines(summary, stream);
    if (signalNumber != 0)
        runFacts.interruption = signalNumber == SIGINT ? "SIGINT" : signalNumber == SIGTERM ? "SIGTERM" : "a signal";
    // The summary is the run's result: a full device that loses it is an error too, so it is written in
    // one piece and the write is checked. A pager that was closed (| head) took what its reader wanted:
    // that alone is no failure.
    std::ostringstream summaryText;
    summary.print(summaryText, runFacts);
    const std::string text = summaryText.str();
    std::FILE* summaryFile = summaryOnStandardError ? stderr : stdout;
    errno = 0;
    if (std::fwrite(text.data(), 1, text.size(), summaryFile) != text.size() || std::fflush(summaryFile) != 0) {
        const int error = errno != 0 ? errno : EIO;
        if (error != EPIPE)
            outputFailures.push_back(std::string("cannot write the summary to ") +
                                     (summaryOnStandardError ? "standard error" : "standard output") + ": " +
                                     std::strerror(error));
    }

    const std::string measuredSoFar = summary.framesMeasured() == 0
                                          ? "no frame was measured"
                                          : "the " + std::to_string(summary.framesMeasured()) +
                                                " frames before it were measured and summarised";
    int exitStatus = exitStatusForSignal();
    if (!clip.failure().empty() && signalNumber == 0) {
        reportError(clip.failure() + "; " + measuredSoFar);
        exitStatus = kExitBadInput;
    } else if (!measurement.secondPassFailure().empty() && signalNumber == 0) {
        reportError(measurement.secondPassFailure() + "; the " + std::to_string(measurement.framesLeftOut()) +
                    " frames before the area was final are left out of every output");
        exitStatus = kExitBadInput;
    }
    for (const std::string& failure : outputFailures) {
        reportError(failure);
        if (exitStatus == kExitSuccess)
            exitStatus = kExitBadInput;
    }
    return exitStatus;
}

}  // namespace

MetadataFiles::MetadataFiles(const ToolOptions& options) : options_(options)
{
    for (const auto& [file, path] : {std::pair<std::unique_ptr<OutputFile>*, const std::string*>{&summaryJson_, &options.summaryJsonPath},
                                     {&hdr10Plus_, &options.hdr10PlusPath},
                                     {&doviConfig_, &options.doviConfigPath}})
        if (!path->empty())
            *file = std::make_unique<OutputFile>(*path);
}

bool MetadataFiles::takeStandardOutput() const
{
    for (const OutputFile* file : {summaryJson_.get(), hdr10Plus_.get(), doviConfig_.get()})
        if (file && file->isStandardOutput())
            return true;
    return false;
}

void MetadataFiles::write(const ClipMeasurement& measurement, const MeasurementSummary& summary, bool interrupted,
                          std::vector<std::string>& warnings, std::vector<std::string>& failures)
{
    const auto writeAndClose = [&](OutputFile& file, const nlohmann::ordered_json& json) {
        file.write(json.dump(2) + "\n");
        try {
            file.close();
        } catch (const InputError& error) {
            failures.push_back(error.what());
        }
    };
    if (summaryJson_)
        writeAndClose(*summaryJson_, summaryJson(measurement, summary, interrupted));
    if (hdr10Plus_)
        writeAndClose(*hdr10Plus_, hdr10PlusJson(measurement));
    if (doviConfig_) {
        const MasteringLuminance mastering =
            masteringLuminanceOf(measurement.clip().staticMetadata(), options_.mastering);
        if (mastering.assumed)
            warnings.push_back("the stream states no mastering display: the Dolby Vision config assumes 1000 and "
                               "0.0001 nits; give --mastering-display MAX,MIN for another");
        writeAndClose(*doviConfig_, doviConfigJson(measurement, summary, mastering));
    }
}

void installStopHandlers()
{
    installMappedReadGuard();
    captureLibavMessages({});
    // A closed output pipe must make a write fail with EPIPE, so that the run ends with one line.
    std::signal(SIGPIPE, SIG_IGN);
    struct sigaction action {};
    action.sa_handler = &onStopSignal;
    sigemptyset(&action.sa_mask);
    // The first signal finishes the frame and writes everything; a second one ends the program at once.
    action.sa_flags = SA_RESETHAND;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
}

int runHdrmeter(int argc, const char* const* argv)
{
    try {
        const CommandLine commandLine = parseCommandLine(argc, argv);
        if (commandLine.immediateOutput) {
            std::fputs(commandLine.immediateOutput->c_str(), stdout);
            return kExitSuccess;
        }
        return measureClip(commandLine.options);
    } catch (const UsageError& error) {
        reportError(std::string(error.what()) + " (see hdrmeter --help)");
        return kExitBadUsage;
    } catch (const InputError& error) {
        if (stopSignal.load() != 0)
            return exitStatusForSignal();
        reportError(error.what());
        return kExitBadInput;
    } catch (const std::bad_alloc&) {
        reportError("out of memory");
        return kExitBadInput;
    } catch (const std::exception& error) {
        reportError(error.what());
        return kExitBadInput;
    } catch (...) {
        reportError("an unexpected error stopped the run");
        return kExitBadInput;
    }
}

}  // namespace hdrmeter::clip
