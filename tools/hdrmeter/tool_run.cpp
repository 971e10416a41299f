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

#include "clip_run.h"
#include "options.h"
#include "output/frame_writers.h"
#include "output/output_file.h"
#include "output/summary.h"
#include "output/svg_plot.h"
#include "progress.h"
#include "tool_errors.h"

namespace hdrmeter::tool {

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

int measureClip(const ToolOptions& options)
{
    const bool standardInput = !options.clip.demo && options.clip.source.path == "-";
    if (standardInput && !options.inputPathGiven && isatty(STDIN_FILENO))
        throw UsageError("no input: give a FILE, pipe a stream into standard input, or try --demo");

    ClipRun clip(options.clip, &stopRequest);
    std::vector<std::pair<std::string, std::string>> outputPaths;
    for (const auto& [option, path] : {std::pair<const char*, const std::string*>{"--csv", &options.csvPath},
                                       {"--jsonl", &options.jsonlPath},
                                       {"--plot", &options.plotPath}})
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
    const bool perFrameOnStandardOutput = (csvFile && csvFile->isStandardOutput()) ||
                                          (jsonlFile && jsonlFile->isStandardOutput());

    MeasurementSummary summary;
    std::vector<FrameMeasurement> plottedFrames;
    std::optional<long long> framesExpected = clip.facts().framesExpected;
    if (options.frameLimit && (!framesExpected || *framesExpected > *options.frameLimit))
        framesExpected = options.frameLimit;
    ProgressReporter progress(isatty(STDERR_FILENO) != 0, framesExpected);

    const auto start = std::chrono::steady_clock::now();
    auto lastFrameMeasured = start;
    std::string outputFailure;
    while (!options.frameLimit || summary.framesMeasured() < *options.frameLimit) {
        const std::optional<FrameMeasurement> measurement = clip.next();
        if (!measurement)
            break;
        lastFrameMeasured = std::chrono::steady_clock::now();
        if (summary.framesMeasured() == 0)
            for (const std::string& warning : clip.warnings())
                reportError("warning: " + warning);
        if (csv)
            csv->write(*measurement);
        if (jsonl)
            jsonl->write(*measurement);
        if (plotFile)
            plottedFrames.push_back(*measurement);
        summary.add(*measurement);
        progress.frameDone(summary.framesMeasured());
        // Nobody reads what a closed pipe would carry: stop at once instead of measuring for nobody.
        for (OutputFile* file : {csvFile.get(), jsonlFile.get()})
            if (file && file->failed() && outputFailure.empty())
                outputFailure = file->path();
        if (!outputFailure.empty())
            break;
    }
    const double elapsedSeconds = std::chrono::duration<double>(lastFrameMeasured - start).count();
    progress.finish();

    const ClipFacts& facts = clip.facts();
    std::vector<std::string> outputFailures;
    for (OutputFile* file : {csvFile.get(), jsonlFile.get()}) {
        if (!file)
            continue;
        try {
            file->close();
        } catch (const InputError& error) {
            outputFailures.push_back(std::string(error.what()) +
                                     (file->readerWentAway() ? " (its reader went away); the run stopped there" : ""));
        }
    }
    if (plotFile) {
        PlotLabels labels;
        labels.title = facts.inputName + " (" + formatDescription(facts) + ")";
        labels.thresholdNits = options.clip.analysis.thresholdNits;
        labels.percentiles = options.percentiles;
        labels.top1Percent = options.clip.analysis.top1Percent;
        labels.top2Percent = options.clip.analysis.top2Percent;
        labels.bottomPercent = options.clip.analysis.bottomPercent;
        plotFile->write(renderLightPlot(plottedFrames, summary, labels));
        try {
            plotFile->close();
        } catch (const InputError& error) {
            outputFailures.push_back(error.what());
        }
    }

    RunFacts runFacts;
    runFacts.inputName = facts.inputName;
    runFacts.formatDescription = formatDescription(facts);
    runFacts.arithmetic = arithmeticDescription(facts.arithmetic);
    runFacts.thresholdNits = options.clip.analysis.thresholdNits;
    runFacts.elapsedSeconds = elapsedSeconds;
    runFacts.pixelsPerFrame = static_cast<long long>(facts.width) * facts.height;
    runFacts.metadata = clip.staticMetadata();
    const int signalNumber = stopSignal.load(std::memory_order_relaxed);
    if (signalNumber != 0)
        runFacts.interruption = signalNumber == SIGINT ? "SIGINT" : signalNumber == SIGTERM ? "SIGTERM" : "a signal";
    // The summary is the run's result: a full device that loses it is an error too, so it is written in
    // one piece and the write is checked. A pager that was closed (| head) took what its reader wanted:
    // that alone is no failure.
    std::ostringstream summaryText;
    summary.print(summaryText, runFacts);
    const std::string text = summaryText.str();
    std::FILE* summaryFile = perFrameOnStandardOutput ? stderr : stdout;
    errno = 0;
    if (std::fwrite(text.data(), 1, text.size(), summaryFile) != text.size() || std::fflush(summaryFile) != 0) {
        const int error = errno != 0 ? errno : EIO;
        if (error != EPIPE)
            outputFailures.push_back(std::string("cannot write the summary to ") +
                                     (perFrameOnStandardOutput ? "standard error" : "standard output") + ": " +
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
    }
    for (const std::string& failure : outputFailures) {
        reportError(failure);
        if (exitStatus == kExitSuccess)
            exitStatus = kExitBadInput;
    }
    return exitStatus;
}

}  // namespace

void installStopHandlers()
{
    keepLibavMessages();
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

}  // namespace hdrmeter::tool
