#include "output_writers.h"

#include <sys/stat.h>

#include <cmath>
#include <stdexcept>

#include "chunk_lists.h"
#include "html_report.h"
#include "madvr_file.h"
#include "metadata_json.h"
#include "partial/partial_file.h"
#include "raster.h"
#include "svg_plot.h"

namespace hdrmeter::clip {

void writePlot(const Report& report, const FrameSequence& frames, const TextSink& out)
{
    const Request& request = report.request;
    PlotLabels labels;
    labels.title = report.stream.inputName + " (" + formatDescription(report.stream) + ")";
    labels.thresholdNits = request.thresholdNits;
    labels.percentiles = request.percentiles;
    labels.top1Percent = request.top1Percent;
    labels.top2Percent = request.top2Percent;
    labels.bottomPercent = request.bottomPercent;
    for (const SceneResult& scene : report.scenes)
        labels.sceneCuts.push_back(scene.firstFrame);
    labels.frameRate = report.stream.frameRate;
    labels.stated = request.verify || !request.verifyJsonPath.empty();
    if (labels.stated && report.metadata.lightLevel && report.metadata.lightLevel->maxCllNits > 0)
        labels.statedMaxCllNits = report.metadata.lightLevel->maxCllNits;
    renderLightPlot(frames, report.summary, labels, out);
}

namespace {

class CsvWriter : public OutputWriter {
public:
    explicit CsvWriter(const Columns& columns) : columns_(columns) {}
    void begin(OutputFile& file) override { file.write(csvHeader(columns_)); }
    void frame(const FrameRecord& record, const FrameRate& frameRate, OutputFile& file) override
    {
        file.write(csvRow(record, columns_, frameRate));
    }
    std::string finish(const RunOutcome&, OutputFile&) override { return {}; }

private:
    Columns columns_;
};

class JsonLinesWriter : public OutputWriter {
public:
    JsonLinesWriter(const Columns& columns, std::string coefficients)
        : columns_(columns), coefficients_(std::move(coefficients))
    {
    }
    void frame(const FrameRecord& record, const FrameRate& frameRate, OutputFile& file) override
    {
        file.write(jsonLine(record, columns_, coefficients_, frameRate));
    }
    std::string finish(const RunOutcome&, OutputFile&) override { return {}; }

private:
    Columns columns_;
    std::string coefficients_;
};

// A file made whole at the end from the report and the frames kept.
class WholeFileWriter : public OutputWriter {
public:
    using Write = void (*)(const Report& report, const FrameSequence& frames, const TextSink& out);
    WholeFileWriter(Write write, bool describesStream) : write_(write), describesStream_(describesStream) {}
    bool describesStream() const override { return describesStream_; }
    std::string finish(const RunOutcome& outcome, OutputFile& file) override
    {
        write_(outcome.report, outcome.frames, [&file](const std::string& text) { file.write(text); });
        return {};
    }

private:
    Write write_;
    bool describesStream_;
};

// SVG, or PNG when its name says so.
class PlotWriter : public OutputWriter {
public:
    std::string finish(const RunOutcome& outcome, OutputFile& file) override
    {
        if (!isPngName(file.path())) {
            writePlot(outcome.report, outcome.frames, [&file](const std::string& text) { file.write(text); });
            return {};
        }
        try {
            file.write(pngOfSvg(textOf([&](const TextSink& out) { writePlot(outcome.report, outcome.frames, out); })));
        } catch (const std::runtime_error& error) {
            return std::string(error.what()) + "; give a name ending in .svg for the SVG plot";
        }
        return {};
    }
};

class HtmlReportWriter : public OutputWriter {
public:
    std::string finish(const RunOutcome& outcome, OutputFile& file) override
    {
        const Report& report = outcome.report;
        writeHtmlReport(report, outcome.frames,
                        textOf([&](const TextSink& out) { writePlot(report, outcome.frames, out); }),
                        outcome.peakPicture && report.maxCllTrace ? outcome.peakPicture : nullptr,
                        [&file](const std::string& text) { file.write(text); });
        return {};
    }
};

// Every frame's statistics wait in a spool on disk until the end. A run that ended early writes the frames
// it measured, flagged as incomplete.
class MadvrWriter : public OutputWriter {
public:
    bool describesStream() const override { return true; }
    bool keepsStatistics() const override { return true; }
    void statistics(std::size_t position, const FrameStatistics& statistics) override
    {
        spool_.put(position, statistics);
    }
    std::string finish(const RunOutcome& outcome, OutputFile& file) override
    {
        spool_.writeTo(file, outcome.report, outcome.frames, outcome.report.ending == Ending::Complete);
        return spool_.failure();
    }

private:
    MadvrSpool spool_;
};

// A merge takes only whole segments: a part cut short would leave a gap it cannot see.
class PartialWriter : public OutputWriter {
public:
    bool keepsStatistics() const override { return true; }
    bool keepsContent() const override { return true; }
    void statistics(std::size_t position, const FrameStatistics& statistics) override
    {
        recorder_.putStatistics(position, statistics);
    }
    void content(std::size_t position, const ContentBounds& content) override
    {
        recorder_.putContent(position, content);
    }
    std::string finish(const RunOutcome& outcome, OutputFile& file) override
    {
        if (outcome.report.ending != Ending::Complete)
            return "the segment was not measured to its end; measure it again";
        recorder_.writeTo(file, headerOf(outcome), outcome.frames);
        return recorder_.failure();
    }

private:
    static PartialHeader headerOf(const RunOutcome& outcome)
    {
        const Report& report = outcome.report;
        PartialHeader header;
        header.request = report.request;
        header.stream = report.stream;
        header.metadata = report.metadata;
        header.area = report.area;
        header.startMicroseconds = outcome.startMicroseconds;
        header.endMicroseconds = outcome.endMicroseconds;
        header.inputEnded = outcome.inputEnded;
        struct stat input {};
        if (report.request.input != "-" && stat(report.request.input.c_str(), &input) == 0)
            header.inputBytes = static_cast<long long>(input.st_size);
        if (report.request.input != "-")
            header.inputDigest = inputDigestOf(report.request.input);
        header.warnings = report.warnings;
        header.peak = report.maxCllTrace;
        return header;
    }

    PartialRecorder recorder_;
};

void writeSummaryJson(const Report& report, const FrameSequence&, const TextSink& out)
{
    out(summaryJsonText(report));
}

void writeDoviConfig(const Report& report, const FrameSequence&, const TextSink& out)
{
    out(doviConfigJsonText(report));
}

void writeVerifyJson(const Report& report, const FrameSequence&, const TextSink& out)
{
    out(verifyJsonText(report));
}

}  // namespace

std::unique_ptr<OutputWriter> outputWriter(Output output, const Request& request, const Columns& columns)
{
    switch (output) {
    case Output::Csv:
        return std::make_unique<CsvWriter>(columns);
    case Output::JsonLines:
        return std::make_unique<JsonLinesWriter>(columns, request.classParity ? "class" : "exact");
    case Output::Plot:
        return std::make_unique<PlotWriter>();
    case Output::SummaryJson:
        return std::make_unique<WholeFileWriter>(&writeSummaryJson, false);
    case Output::Hdr10Plus:
        return std::make_unique<WholeFileWriter>(&writeHdr10PlusJson, true);
    case Output::DoviConfig:
        break;
    case Output::Madvr:
        return std::make_unique<MadvrWriter>();
    case Output::VerifyJson:
        return std::make_unique<WholeFileWriter>(&writeVerifyJson, false);
    case Output::Partial:
        return std::make_unique<PartialWriter>();
    case Output::HtmlReport:
        return std::make_unique<HtmlReportWriter>();
    case Output::Av1anScenes:
        return std::make_unique<WholeFileWriter>(&writeAv1anScenes, true);
    case Output::X265Qpfile:
        return std::make_unique<WholeFileWriter>(&writeX265Qpfile, true);
    case Output::FfmpegKeyframes:
        return std::make_unique<WholeFileWriter>(&writeFfmpegKeyframes, true);
    }
    return std::make_unique<WholeFileWriter>(&writeDoviConfig, true);
}

}  // namespace hdrmeter::clip
