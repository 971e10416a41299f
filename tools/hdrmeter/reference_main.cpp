// Writes what the build installs beside the program and what the manuals quote, each from the table of
// settings: hdrmeter-reference man|completion|options|keywords|measure-stub|merge-stub.
#include <cstdio>
#include <cstring>
#include <string>

#include "reference.h"

int main(int argc, char** argv)
{
    using namespace hdrmeter::cli;
    const struct {
        const char* name;
        std::string (*make)();
    } parts[] = {{"man", &manPage},
                 {"completion", &bashCompletion},
                 {"options", &optionsMarkdown},
                 {"keywords", &keywordsMarkdown},
                 {"measure-stub", &measureKeywordsStub},
                 {"merge-stub", &mergeKeywordsStub}};
    for (const auto& part : parts)
        if (argc == 2 && std::strcmp(argv[1], part.name) == 0) {
            const std::string text = part.make();
            return std::fwrite(text.data(), 1, text.size(), stdout) == text.size() && std::fflush(stdout) == 0 ? 0 : 1;
        }
    std::fputs("usage: hdrmeter-reference man|completion|options|keywords|measure-stub|merge-stub\n", stderr);
    return 2;
}
