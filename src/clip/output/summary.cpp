#include "summary.h"

#include <array>
#include <cmath>
#include <cstdio>

namespace hdrmeter::clip {

namespace {

std::string labelled(const std::string& label, const std::string& text)
{
    return label + std::string(label.size() < 22 ? 22 - label.size() : 1, ' ') + text + "\n";
}

std::string formatFixed(double value, int decimals)
{
    char text[64];
    std::snprintf(text, sizeof text, "%.*f", decimals, value);
    return text;
}

}  // namespace

long long wholeNits(double nits)
{
    return static_cast<long long>(std::floor(nits + 0.5));
}

void FramePeak::offer(long long frame, double value)
{
    if (frameCount_ == 0 || value > value_) {
        value_ = value;
        frameCount_ = 0;
        firstFrames_.clear();
    } else if (value < value_) {
        return;
    }
    ++frameCount_;
    if (firstFrames_.size() < kListedFrames)
        firstFrames_.push_back(frame);
}

std::string FramePeak::describeFrames() const
{
    if (frameCount_ == 0)
        return "no frame";
    if (frameCount_ == 1)
        return "frame " + std::to_string(firstFrames_[0]);
    std::string text = "frames ";
    const long long more = frameCount_ - static_cast<long long>(firstFrames_.size());
    for (std::size_t i = 0; i < firstFrames_.size(); ++i) {
        if (i > 0)
            text += (i + 1 == firstFrames_.size() && more == 0) ? " and " : ", ";
        text += std::to_string(firstFrames_[i]);
    }
    if (more > 0)
        text += " and " + std::to_string(more) + " more";
    return text;
}

void MeasurementSummary::add(const FrameMeasurement& measurement)
{
    ++framesMeasured_;
    maxCll_.offer(measurement.frame, measurement.largestLightNits);
    maxFall_.offer(measurement.frame, measurement.averageLightNits);
    if (measurement.aboveThresholdPercent > 0.0)
        ++framesAboveThreshold_;
    aboveThresholdPercentSum_ += measurement.aboveThresholdPercent;
}

double MeasurementSummary::framesAboveThresholdPercent() const
{
    return framesMeasured_ == 0 ? 0.0 : 100.0 * static_cast<double>(framesAboveThreshold_) / framesMeasured_;
}

double MeasurementSummary::pixelsAboveThresholdPercent() const
{
    return framesMeasured_ == 0 ? 0.0 : aboveThresholdPercentSum_ / static_cast<double>(framesMeasured_);
}


std::string describeMasteringDisplay(const MasteringDisplay& display)
{
    std::string text;
    if (display.primaries) {
        const std::array<double, 6>& p = *display.primaries;
        text = "R " + formatFixed(p[0], 4) + " " + formatFixed(p[1], 4) + ", G " + formatFixed(p[2], 4) + " " +
               formatFixed(p[3], 4) + ", B " + formatFixed(p[4], 4) + " " + formatFixed(p[5], 4);
    }
    if (display.whitePoint)
        text += ", white " + formatFixed((*display.whitePoint)[0], 4) + " " + formatFixed((*display.whitePoint)[1], 4);
    if (display.minNits && display.maxNits)
        text += std::string(text.empty() ? "" : ", ") + formatFixed(*display.minNits, 4) + " to " +
                formatFixed(*display.maxNits, 0) + " nits";
    return text;
}

void MeasurementSummary::print(std::ostream& out, const RunFacts& facts) const
{
    char thresholdText[32];
    std::snprintf(thresholdText, sizeof thresholdText, "%g nits", facts.thresholdNits);
    const std::string threshold = thresholdText;
    const auto origin = [](MetadataOrigin from) {
        return from == MetadataOrigin::Container ? " (container)" : " (codec)";
    };
    out << "input                 " << facts.inputName << " (" << facts.formatDescription << ")\n";
    if (!facts.arithmetic.empty())
        out << "arithmetic            " << facts.arithmetic << "\n";
    out << "frames measured       " << framesMeasured_ << "\n";
    if (!facts.interruption.empty())
        out << "interrupted           by " << facts.interruption << "; the frames measured before it are summarised\n";
    for (const auto& [label, text] : facts.runLines)
        out << labelled(label, text);
    if (framesMeasured_ == 0) {
        out << "MaxCLL                none (no frame was measured)\n";
        out << "MaxFALL               none (no frame was measured)\n";
    } else {
        out << "MaxCLL                " << wholeNits(maxCll_.value()) << " nits (" << formatFixed(maxCll_.value(), 3)
            << ") at " << maxCll_.describeFrames() << "\n";
        out << "MaxFALL               " << wholeNits(maxFall_.value()) << " nits ("
            << formatFixed(maxFall_.value(), 3) << ") at " << maxFall_.describeFrames() << "\n";
        out << "frames above " << threshold << std::string(threshold.size() < 9 ? 9 - threshold.size() : 1, ' ')
            << framesAboveThreshold_ << " of " << framesMeasured_ << " ("
            << formatFixed(framesAboveThresholdPercent(), 1) << " %)\n";
        out << "pixels above " << threshold << std::string(threshold.size() < 9 ? 9 - threshold.size() : 1, ' ')
            << formatFixed(pixelsAboveThresholdPercent(), 3) << " %\n";
    }
    if (facts.metadata.mastering)
        out << "mastering display     " << describeMasteringDisplay(*facts.metadata.mastering)
            << origin(facts.metadata.masteringOrigin) << "\n";
    if (facts.metadata.lightLevel) {
        const ContentLightLevel& stated = *facts.metadata.lightLevel;
        out << "content light level   MaxCLL " << stated.maxCllNits << " nits, MaxFALL " << stated.maxFallNits
            << " nits" << origin(facts.metadata.lightLevelOrigin) << "\n";
        // Stated levels below the measured ones make displays tone-map too little: worth a flag.
        if (framesMeasured_ > 0 && static_cast<long long>(stated.maxCllNits) < wholeNits(maxCll_.value()))
            out << "stated below measured MaxCLL " << stated.maxCllNits << " < " << wholeNits(maxCll_.value())
                << " nits measured\n";
        if (framesMeasured_ > 0 && static_cast<long long>(stated.maxFallNits) < wholeNits(maxFall_.value()))
            out << "stated below measured MaxFALL " << stated.maxFallNits << " < " << wholeNits(maxFall_.value())
                << " nits measured\n";
    }
    if (facts.elapsedSeconds > 0.0 && framesMeasured_ > 0) {
        const double framesPerSecond = framesMeasured_ / facts.elapsedSeconds;
        out << "throughput            " << formatFixed(framesPerSecond, 1) << " frames/s, "
            << formatFixed(framesPerSecond * static_cast<double>(facts.pixelsPerFrame) / 1e6, 1) << " Mpixel/s ("
            << formatFixed(facts.elapsedSeconds, 2) << " s)\n";
    }
    for (const auto& [label, text] : facts.closingLines)
        out << labelled(label, text);
    out.flush();
}

}  // namespace hdrmeter::clip
