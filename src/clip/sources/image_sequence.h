// Which files make an image sequence, and in which order: a printf pattern ("master_%06d.dpx"), a folder
// of numbered images, or a glob ("m_*.tif"). The images are numbered by the digits in their names, from
// the first number found; a number between the first and the last with no file is a missing image.
#ifndef HDRMETER_CLIP_IMAGE_SEQUENCE_H
#define HDRMETER_CLIP_IMAGE_SEQUENCE_H

#include <optional>
#include <string>
#include <vector>

namespace hdrmeter::clip {

struct SequenceImage {
    long long number = 0;  // the number in its name
    std::string path;
};

class ImageSequence {
public:
    // The images found, in increasing number, none twice.
    const std::vector<SequenceImage>& images() const { return images_; }
    long long firstNumber() const { return images_.front().number; }
    long long lastNumber() const { return images_.back().number; }
    // The images from the first number to the last, missing ones included.
    long long span() const { return lastNumber() - firstNumber() + 1; }
    // The name an image of this number would have, for one that is missing.
    std::string nameOf(long long number) const;

private:
    friend std::optional<ImageSequence> findImageSequence(const std::string& path);
    std::vector<SequenceImage> images_;
    std::string folder_;   // with its trailing slash; empty for the working folder
    std::string prefix_;   // the name before the number ...
    std::string suffix_;   // ... and after it
    int width_ = 0;        // digits, zero-padded; 0 when numbers are not padded
};

// The sequence `path` names, or nullopt when it names no sequence (an ordinary file, standard input).
// Throws InputError when it names one whose images cannot be found, saying why.
std::optional<ImageSequence> findImageSequence(const std::string& path);

}  // namespace hdrmeter::clip

#endif
