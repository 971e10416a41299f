#include "tool_run.h"

#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <cstdio>
#include <iostream>
#include <memory>
#include <new>
#include <sstream>
#include <thread>

#include "demo_clip.h"
#include "frame_meter.h"
#include "frame_pipeline.h"
#include "frame_writers.h"
#include "input_file.h"
#include "options.h"
#include "progress.h"
#include "raw_reader.h"
#include "summary.h"
#include "svg_plot.h"
#include "tool_errors.h"
#include "y4m_reader.h"

namespace hdrmeter::tool {

namespace {

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

std::string settingsDescription(const VideoFormat& format, const MeasureSettings& settings)
{
    return describeFormat(format) + ", " + (settings.transfer == TransferFunction::Hlg ? "HLG" : "PQ") + ", " +
           (settings.matrix == ColourMatrix::Bt709 ? "BT.709" : "BT.2020");
}

int measureStream(const ToolOptions& options)
{
    const bool standardInput = !options.demo && options.inputPath == "-";
    if (standardInput && !options.inputPathGiven && isatty(STDIN_FILENO))
        throw UsageError("no input: give a FILE, pipe a stream into standard input, or try --demo");

    std::unique_ptr<InputFile> input;
    std::unique_ptr<FrameSource> source;
    if (options.demo) {
        source = std::make_unique<DemoClip>();
    } else {
        input = std::make_unique<InputFile>(options.inputPath);
        if (options.rawFormat) {
            source = std::make_unique<RawReader>(*input, *options.rawFormat, options.rawPixelFormatName);
        } else {
            auto reader = std::make_unique<Y4mReader>(*input);
            for (const std::string& warning : reader->warnings())
                reportError("warning: " + warning);
            source = std::move(reader);
        }
    }
    const VideoFormat format = source->format();
    const MeasureSettings& settings = options.settings;

    const ColumnSet columns{settings.percentiles, settings.lumaChecks};
    std::unique_ptr<OutputFile> csvFile;
    std::unique_ptr<OutputFile> jsonlFile;
    std::unique_ptr<OutputFile> plotFile;
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
    const bool perFrameOnStandardOutput = (csvFile && csvFile->isStandardOutput()) ||
                                          (jsonlFile && jsonlFile->isStandardOutput());
    std::ostream& summaryStream = perFrameOnStandardOutput ? std::cerr : std::cout;

    FrameMeter meter(format, settings);
    MeasurementSummary summary;
    std::vector<FrameMeasurement> plottedFrames;
    std::optional<long long> framesExpected = source->framesExpected();
    if (options.frameLimit && (!framesExpected || *framesExpected > *options.frameLimit))
        framesExpected = options.frameLimit;
    ProgressReporter progress(isatty(STDERR_FILENO) != 0, framesExpected);

    std::string failure;
    bool sourceEnded = false;
    const auto start = std::chrono::steady_clock::now();
    FramePipeline pipeline(*source);
    while (!options.frameLimit || summary.framesMeasured() < *options.frameLimit) {
        EngineFrame* frame = pipeline.next();
        if (!frame) {
            sourceEnded = true;
            break;
        }
        FrameMeasurement measurement;
        try {
            measurement = meter.measure(*frame);
        } catch (const std::exception& error) {
            failure = "measuring frame " + std::to_string(frame->index) + " failed: " + error.what();
            pipeline.recycle(frame);
            break;
        }
        pipeline.recycle(frame);
        if (csv)
            csv->write(measurement);
        if (jsonl)
            jsonl->write(measurement);
        if (plotFile)
            plottedFrames.push_back(measurement);
        summary.add(measurement);
        progress.frameDone(summary.framesMeasured());
    }
    pipeline.stop();
    const double elapsedSeconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    progress.finish();

    std::vector<std::string> outputFailures;
    for (OutputFile* file : {csvFile.get(), jsonlFile.get()}) {
        if (!file)
            continue;
        try {
            file->close();
        } catch (const InputError& error) {
            outputFailures.push_back(error.what());
        }
    }
    if (plotFile) {
        PlotLabels labels;
        labels.title = source->name() + " (" + settingsDescription(format, settings) + ")";
        labels.thresholdNits = settings.thresholdNits;
        labels.percentiles = settings.percentiles;
        labels.top1Percent = settings.top1Percent;
        labels.top2Percent = settings.top2Percent;
        labels.bottomPercent = settings.bottomPercent;
        plotFile->write(renderLightPlot(plottedFrames, summary, labels));
        try {
            plotFile->close();
        } catch (const InputError& error) {
            outputFailures.push_back(error.what());
        }
    }

    RunFacts facts;
    facts.inputName = source->name();
    facts.formatDescription = settingsDescription(format, settings);
    facts.thresholdNits = settings.thresholdNits;
    facts.elapsedSeconds = elapsedSeconds;
    facts.pixelsPerFrame = static_cast<long long>(format.lumaSamples());
    // The summary is the run's result: a full device or a closed pipe that loses it is an error too, so
    // it is written in one piece and the write is checked.
    std::ostringstream summaryText;
    summary.print(summaryText, facts);
    const std::string text = summaryText.str();
    std::FILE* summaryFile = perFrameOnStandardOutput ? stderr : stdout;
    summaryStream.flush();
    errno = 0;
    if (std::fwrite(text.data(), 1, text.size(), summaryFile) != text.size() || std::fflush(summaryFile) != 0) {
        outputFailures.push_back(std::string("cannot write the summary to ") +
                                 (perFrameOnStandardOutput ? "standard error" : "standard output") + ": " +
                                 std::strerror(errno != 0 ? errno : EIO));
    }

    const std::string measuredSoFar = summary.framesMeasured() == 0
                                          ? "no frame was measured"
                                          : "the " + std::to_string(summary.framesMeasured()) +
                                                " frames before it were measured and summarised";
    int exitStatus = kExitSuccess;
    if (!failure.empty()) {
        reportError(failure + "; " + measuredSoFar);
        exitStatus = kExitBadInput;
    } else if (sourceEnded && pipeline.endResult().status != ReadResult::Status::EndOfStream) {
        reportError(pipeline.endResult().problem + "; " + measuredSoFar);
        exitStatus = kExitBadInput;
    }
    for (const std::string& outputFailure : outputFailures) {
        reportError(outputFailure);
        exitStatus = kExitBadInput;
    }
    return exitStatus;
}

}  // namespace

int runHdrmeter(int argc, const char* const* argv)
{
    const int cores = static_cast<int>(std::thread::hardware_concurrency());
    CommandLine commandLine;
    try {
        commandLine = parseCommandLine(argc, argv, cores > 0 ? cores : 1);
    } catch (const UsageError& error) {
        reportError(std::string(error.what()) + " (see hdrmeter --help)");
        return kExitBadUsage;
    }
    if (commandLine.immediateOutput) {
        std::fputs(commandLine.immediateOutput->c_str(), stdout);
        return kExitSuccess;
    }
    try {
        return measureStream(commandLine.options);
    } catch (const UsageError& error) {
        reportError(std::string(error.what()) + " (see hdrmeter --help)");
        return kExitBadUsage;
    } catch (const InputError& error) {
        reportError(error.what());
        return kExitBadInput;
    } catch (const std::bad_alloc&) {
        reportError("out of memory");
        return kExitBadInput;
    } catch (const std::exception& error) {
        reportError(error.what());
        return kExitBadInput;
    }
}

}  // namespace hdrmeter::tool
