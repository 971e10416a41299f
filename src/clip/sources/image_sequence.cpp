#include "image_sequence.h"

#include <dirent.h>
#include <glob.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <map>
#include <utility>

#include "clip_errors.h"

namespace hdrmeter::clip {

namespace {

// More digits than a long long holds are no frame number.
constexpr std::size_t kMostDigits = 18;

struct NamePattern {
    std::string prefix;
    std::string suffix;
    int width = 0;  // %06d: 6; %d: 0
    long long number = 0;  // of the name it was found in
};

bool isDigit(char c)
{
    return c >= '0' && c <= '9';
}

std::pair<std::string, std::string> splitFolder(const std::string& path)
{
    const std::size_t slash = path.rfind('/');
    if (slash == std::string::npos)
        return {std::string(), path};
    return {path.substr(0, slash + 1), path.substr(slash + 1)};
}

// The one %d or %0Nd conversion in a file name, "%%" being a percent sign; nullopt when it has none.
std::optional<NamePattern> printfPattern(const std::string& name)
{
    std::optional<NamePattern> found;
    std::string literal;
    for (std::size_t i = 0; i < name.size(); ++i) {
        if (name[i] != '%') {
            literal += name[i];
            continue;
        }
        if (i + 1 < name.size() && name[i + 1] == '%') {
            literal += '%';
            ++i;
            continue;
        }
        std::size_t j = i + 1;
        int width = 0;
        while (j < name.size() && isDigit(name[j]))
            width = std::min(width * 10 + (name[j++] - '0'), 99);
        if (j >= name.size() || name[j] != 'd' || found)
            return std::nullopt;
        found = NamePattern{literal, {}, width};
        literal.clear();
        i = j;
    }
    if (found)
        found->suffix = literal;
    return found;
}

// The digits a name of `pattern` holds in place of its number, or nullopt when the name is not one.
std::optional<long long> numberIn(const std::string& name, const NamePattern& pattern)
{
    if (name.size() <= pattern.prefix.size() + pattern.suffix.size() || name.compare(0, pattern.prefix.size(), pattern.prefix) != 0 ||
        name.compare(name.size() - pattern.suffix.size(), pattern.suffix.size(), pattern.suffix) != 0)
        return std::nullopt;
    const std::string digits =
        name.substr(pattern.prefix.size(), name.size() - pattern.prefix.size() - pattern.suffix.size());
    if (digits.size() > kMostDigits || !std::all_of(digits.begin(), digits.end(), isDigit))
        return std::nullopt;
    // printf writes the width at least, and no leading zero beyond it.
    const std::size_t width = std::max<std::size_t>(1, static_cast<std::size_t>(pattern.width));
    if (digits.size() < width || (digits.size() > width && digits[0] == '0'))
        return std::nullopt;
    return std::stoll(digits);
}

// The last run of digits in a name before its extension (which may hold digits itself: .j2c, .mp4), as
// a pattern for that name.
std::optional<NamePattern> lastNumberOf(const std::string& name)
{
    const std::size_t dot = name.rfind('.');
    std::size_t end = dot == std::string::npos || dot == 0 ? name.size() : dot;
    while (end > 0 && !isDigit(name[end - 1]))
        --end;
    if (end == 0)
        return std::nullopt;
    std::size_t begin = end;
    while (begin > 0 && isDigit(name[begin - 1]))
        --begin;
    if (end - begin > kMostDigits)
        return std::nullopt;
    const std::string digits = name.substr(begin, end - begin);
    const int width = digits.size() > 1 && digits[0] == '0' ? static_cast<int>(digits.size()) : 0;
    return NamePattern{name.substr(0, begin), name.substr(end), width, std::stoll(digits)};
}

std::vector<std::string> namesIn(const std::string& folder)
{
    DIR* directory = opendir(folder.empty() ? "." : folder.c_str());
    if (!directory)
        throw InputError("cannot list the folder " + (folder.empty() ? std::string(".") : folder) + ": " +
                         std::strerror(errno));
    std::vector<std::string> names;
    while (const dirent* entry = readdir(directory)) {
        const std::string name = entry->d_name;
        struct stat status {};
        if (name.empty() || name[0] == '.' || ::stat((folder + name).c_str(), &status) != 0 || !S_ISREG(status.st_mode))
            continue;
        names.push_back(name);
    }
    closedir(directory);
    std::sort(names.begin(), names.end());
    return names;
}

bool hasGlobCharacters(const std::string& path)
{
    return path.find_first_of("*?[") != std::string::npos;
}

}  // namespace

std::string ImageSequence::nameOf(long long number) const
{
    std::string digits = std::to_string(number);
    if (digits.size() < static_cast<std::size_t>(width_))
        digits.insert(0, static_cast<std::size_t>(width_) - digits.size(), '0');
    return folder_ + prefix_ + digits + suffix_;
}

std::optional<ImageSequence> findImageSequence(const std::string& path)
{
    struct stat status {};
    const bool exists = ::stat(path.c_str(), &status) == 0;
    if (path == "-" || (exists && !S_ISDIR(status.st_mode)))
        return std::nullopt;
    ImageSequence sequence;
    std::optional<NamePattern> given;  // a printf pattern's, which names its missing images
    std::vector<std::pair<long long, std::string>> found;  // number, path
    if (exists) {
        sequence.folder_ = path.back() == '/' ? path : path + "/";
        // The folder's numbered images are its largest group of names alike but for their numbers; other
        // files (a checksum list, a slate) are passed over.
        std::map<std::pair<std::string, std::string>, std::vector<std::pair<long long, std::string>>> groups;
        std::vector<std::pair<std::string, std::string>> order;
        for (const std::string& name : namesIn(sequence.folder_)) {
            const std::optional<NamePattern> pattern = lastNumberOf(name);
            if (!pattern)
                continue;
            const auto key = std::make_pair(pattern->prefix, pattern->suffix);
            if (groups.find(key) == groups.end())
                order.push_back(key);
            groups[key].emplace_back(pattern->number, sequence.folder_ + name);
        }
        const std::pair<std::string, std::string>* largest = nullptr;
        for (const auto& key : order)
            if (!largest || groups[key].size() > groups[*largest].size())
                largest = &key;
        if (!largest)
            throw InputError(path + " is a folder without numbered images: give a folder of images numbered in "
                                    "their names (m_0001.tif, m_0002.tif ...), a pattern or a video file");
        found = groups[*largest];
    } else if (auto [folder, name] = splitFolder(path); const auto pattern = printfPattern(name)) {
        given = pattern;
        for (const std::string& candidate : namesIn(folder))
            if (const std::optional<long long> number = numberIn(candidate, *pattern))
                found.emplace_back(*number, folder + candidate);
        if (found.empty())
            throw InputError("no image matches " + path + ": check the folder and the number's digits (%04d for "
                                                          "m_0001.tif, %d for m_1.tif)");
    } else if (hasGlobCharacters(path)) {
        glob_t matches{};
        const int result = ::glob(path.c_str(), 0, nullptr, &matches);
        for (std::size_t i = 0; result == 0 && i < matches.gl_pathc; ++i) {
            const std::string match = matches.gl_pathv[i];
            const auto [matchFolder, matchName] = splitFolder(match);
            if (const std::optional<NamePattern> pattern = lastNumberOf(matchName))
                found.emplace_back(pattern->number, match);
        }
        globfree(&matches);
        if (found.empty())
            throw InputError("no file is named " + path + ", nor does a numbered image match it as a pattern: check "
                             "the name, and quote a pattern (m_*.tif) so that the shell leaves it to hdrmeter");
    } else {
        return std::nullopt;
    }
    std::sort(found.begin(), found.end());
    for (std::size_t i = 1; i < found.size(); ++i)
        if (found[i].first == found[i - 1].first)
            throw InputError(found[i - 1].second + " and " + found[i].second + " both hold image " +
                             std::to_string(found[i].first) + ": give a pattern that names only one of them");
    for (auto& [number, imagePath] : found)
        sequence.images_.push_back({number, std::move(imagePath)});
    // A missing image is named as its neighbours are.
    const auto [firstFolder, firstName] = splitFolder(sequence.images_.front().path);
    const NamePattern named = given ? *given : *lastNumberOf(firstName);
    sequence.folder_ = firstFolder;
    sequence.prefix_ = named.prefix;
    sequence.suffix_ = named.suffix;
    sequence.width_ = named.width;
    return sequence;
}

}  // namespace hdrmeter::clip
