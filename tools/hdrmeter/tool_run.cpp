#include "tool_run.h"

#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>

#include <hdrmeter/clip.h>
#include <hdrmeter/clip_hooks.h>

#include "options.h"
#include "plan_command.h"
#include "progress.h"

namespace hdrmeter::cli {

using namespace hdrmeter::clip;

namespace {

StopRequest stopRequest;
std::atomic<int> stopSignal{0};

extern "C" void onStopSignal(int number)
{
    stopSignal.store(number, std::memory_order_relaxed);
    stopRequest.request(number == SIGINT ? "SIGINT" : number == SIGTERM ? "SIGTERM" : number == SIGHUP ? "SIGHUP"
                                                                                                      : "a signal");
}

void reportError(const std::string& message)
{
    // Messages quote the user's arguments and a stream's header; a line break or other control
    // character in those must not split the one line that scripts read.
    std::string line;
    for (char c : spelledForCommandLine(message)) {
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

int exitStatusForSignal()
{
    const int number = stopSignal.load(std::memory_order_relaxed);
    return number != 0 ? 128 + number : kExitSuccess;
}

// Progress on standard error when it is a terminal, one line per pass, or as JSON lines for a pipeline;
// warnings as they arise. Quiet, it says nothing but the JSON lines asked for.
class TerminalObserver : public Observer {
public:
    explicit TerminalObserver(bool quiet = false, bool jsonProgress = false) : quiet_(quiet), jsonProgress_(jsonProgress) {}

    void progress(int pass, long long framesDone, std::optional<long long> framesExpected) override
    {
        if (jsonProgress_) {
            if (!json_ || pass != jsonPass_) {
                if (json_)
                    json_->finish();
                json_ = std::make_unique<JsonProgressReporter>(pass, framesExpected);
                jsonPass_ = pass;
            }
            json_->frameDone(framesDone);
            return;
        }
        if (quiet_)
            return;
        if (pass != pass_) {
            if (reporter_)
                reporter_->finish();
            reporter_ = std::make_unique<ProgressReporter>(isatty(STDERR_FILENO) != 0, framesExpected);
            pass_ = pass;
        }
        reporter_->frameDone(framesDone);
    }
    void warning(const std::string& line) override
    {
        if (quiet_)
            return;
        // A warning interrupts the terminal's line, not a pipeline's count of the pass.
        finishLine();
        reportError("warning: " + line);
    }
    void finish()
    {
        finishLine();
        if (json_)
            json_->finish();
        json_.reset();
    }

private:
    void finishLine()
    {
        if (reporter_)
            reporter_->finish();
        reporter_.reset();
        pass_ = 0;
    }

    bool quiet_;
    bool jsonProgress_;
    std::unique_ptr<ProgressReporter> reporter_;
    std::unique_ptr<JsonProgressReporter> json_;
    int pass_ = 0;
    int jsonPass_ = 0;
};

int reportRun(const Request& request, const Report& report, bool quiet = false);

int measureClip(const CommandLine& commandLine)
{
    const Request& request = commandLine.request;
    if (!request.demo && request.input == "-" && !commandLine.inputPathGiven && isatty(STDIN_FILENO))
        throw RequestError("no input: give a FILE, pipe a stream into standard input, or try --demo");

    TerminalObserver observer(commandLine.program.quiet, commandLine.program.jsonProgress);
    Report report;
    try {
        report = measure(request, &observer, &stopRequest);
    } catch (const InputError&) {
        if (!stopRequest.requested())
            throw;
        // Stopped before the first frame (an input that never came): the summary still says so.
        report.request = request;
        report.stream.inputName = request.demo ? "demo clip" : request.input == "-" ? "standard input" : request.input;
        report.ending = Ending::Stopped;
        report.stopReason = stopRequest.reason();
    }
    observer.finish();
    return reportRun(request, report, commandLine.program.quiet);
}

int reportRun(const Request& request, const Report& report, bool quiet)
{
    // The summary is the run's result: a full device that loses it is an error too, so it is written in
    // one piece and the write is checked. A pager that was closed (| head) took what its reader wanted:
    // that alone is no failure. It goes to standard error when an output takes standard output.
    bool summaryOnStandardError = false;
    for (const OutputSpec& entry : outputTable())
        summaryOnStandardError = summaryOnStandardError || request.*entry.path == "-";
    std::vector<std::string> failures;
    if (report.ending == Ending::Failed)
        failures.push_back(report.failure);
    failures.insert(failures.end(), report.outputFailures.begin(), report.outputFailures.end());
    const std::string text = quiet ? std::string() : spelledForCommandLine(summaryText(report));
    std::FILE* summaryFile = summaryOnStandardError ? stderr : stdout;
    errno = 0;
    if (std::fwrite(text.data(), 1, text.size(), summaryFile) != text.size() || std::fflush(summaryFile) != 0) {
        const int error = errno != 0 ? errno : EIO;
        if (error != EPIPE)
            failures.push_back(std::string("cannot write the summary to ") +
                               (summaryOnStandardError ? "standard error" : "standard output") + ": " +
                               std::strerror(error));
    }
    for (const std::string& failure : failures)
        reportError(failure);
    const int status = exitStatusForSignal();
    if (status != kExitSuccess)
        return status;
    if (!failures.empty())
        return kExitBadInput;
    return report.verification && report.verification->failed() ? kExitVerifyFailed : kExitSuccess;
}

}  // namespace

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
    // A closed terminal or a dropped ssh session (SIGHUP) loses no more than Ctrl-C does.
    for (int number : {SIGINT, SIGTERM, SIGHUP})
        sigaction(number, &action, nullptr);
}

int runHdrmeter(int argc, const char* const* argv)
{
    try {
        if (argc > 1 && std::strcmp(argv[1], "merge") == 0) {
            const std::optional<MergeCommand> command = parseMergeCommand(argc, argv);
            if (!command) {
                std::fputs(mergeHelp().c_str(), stdout);
                return kExitSuccess;
            }
            TerminalObserver observer(command->program.quiet, command->program.jsonProgress);
            const Report report = merge(command->merging, &observer, &stopRequest);
            observer.finish();
            return reportRun(report.request, report, command->program.quiet);
        }
        if (argc > 1 && std::strcmp(argv[1], "plan") == 0) {
            const std::string plan = runPlanCommand(argc, argv);
            std::fputs(plan.c_str(), stdout);
            return std::fflush(stdout) == 0 ? kExitSuccess : kExitBadInput;
        }
        const CommandLine commandLine = parseCommandLine(argc, argv);
        if (commandLine.immediateOutput) {
            std::fputs(commandLine.immediateOutput->c_str(), stdout);
            return kExitSuccess;
        }
        return measureClip(commandLine);
    } catch (const RequestError& error) {
        reportError(error.message() + " (see hdrmeter --help)");
        return kExitBadUsage;
    } catch (const InputError& error) {
        if (stopSignal.load() != 0)
            return exitStatusForSignal();
        reportError(error.message());
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

}  // namespace hdrmeter::cli
