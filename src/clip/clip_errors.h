#ifndef HDRMETER_CLIP_ERRORS_H
#define HDRMETER_CLIP_ERRORS_H

#include <stdexcept>
#include <string>

namespace hdrmeter::clip {

// The two kinds of failure the program reports, each as one line on standard error. They map to the
// documented exit statuses: 1 for input that cannot be measured (or a file that cannot be read or
// written), 2 for a command line that cannot be carried out.
class InputError : public std::runtime_error {
public:
    explicit InputError(const std::string& message) : std::runtime_error(message) {}
};

class UsageError : public std::runtime_error {
public:
    explicit UsageError(const std::string& message) : std::runtime_error(message) {}
};

constexpr int kExitSuccess = 0;
constexpr int kExitBadInput = 1;
constexpr int kExitBadUsage = 2;

}  // namespace hdrmeter::clip

#endif
