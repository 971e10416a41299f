#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>

#include <hdrmeter/settings.h>

#include "options.h"
#include "reference.h"

using namespace hdrmeter::clip;
using namespace hdrmeter::cli;

namespace {

std::string fileText(const std::string& path)
{
    std::ifstream file(std::string(HDRMETER_SOURCE_DIR) + "/" + path);
    std::ostringstream text;
    text << file.rdbuf();
    return text.str();
}

// What stands between the line that starts with `begin` and the next line that starts with `end`.
std::string block(const std::string& text, const std::string& begin, const std::string& end)
{
    const std::size_t start = text.find(begin);
    if (start == std::string::npos)
        return "(no " + begin + ")";
    const std::size_t first = text.find('\n', start) + 1;
    const std::size_t last = text.find(end, first);
    return text.substr(first, last == std::string::npos ? std::string::npos : last - first);
}

}  // namespace

// The manuals' tables and the Python stubs say what the table of settings says: a setting added, renamed
// or given another default shows here until its documents are made again (hdrmeter_reference).
TEST(Reference, TheManualsAndStubsAreMadeFromTheTableOfSettings)
{
    const struct {
        const char* path;
        const char* begin;
        const char* end;
        std::string (*made)();
    } documents[] = {
        {"docs/cli.md", "<!-- settings: options", "<!-- settings: end", &optionsMarkdown},
        {"docs/python.md", "<!-- settings: keywords", "<!-- settings: end", &keywordsMarkdown},
        {"python/hdrmeter/__init__.pyi", "# settings: measure keywords", "# settings: end", &measureKeywordsStub},
        {"python/hdrmeter/__init__.pyi", "# settings: merge keywords", "# settings: end", &mergeKeywordsStub},
    };
    for (const auto& document : documents) {
        SCOPED_TRACE(std::string(document.path) + " " + document.begin);
        EXPECT_EQ(block(fileText(document.path), document.begin, document.end), document.made());
    }
    const std::string man = manPage(), completion = bashCompletion(), options = optionsMarkdown();
    for (const Setting& setting : settings()) {
        if (!setting.offered)
            continue;
        SCOPED_TRACE(setting.name);
        std::string roffOption;
        for (char c : optionOf(setting))
            roffOption += c == '-' ? std::string("\\-") : std::string(1, c);
        EXPECT_NE(man.find("\\fB" + roffOption + "\\fR"), std::string::npos);
        EXPECT_NE(completion.find(" " + optionOf(setting)), std::string::npos);
        EXPECT_EQ(options.find('\x01'), std::string::npos);
    }
}
