// Stands in for libFuzzer's driver where there is none (a gcc build): feeds every file named on the
// command line, or found directly inside a directory named there, to the fuzz target once. A broken
// expectation aborts, so the corpus replays as an ordinary test.
#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size);

namespace {

std::vector<std::string> inputsIn(const std::string& path) {
    struct stat status {};
    if (stat(path.c_str(), &status) != 0) return {};
    if (!S_ISDIR(status.st_mode)) return {path};
    std::vector<std::string> files;
    if (DIR* directory = opendir(path.c_str())) {
        while (const dirent* entry = readdir(directory)) {
            const std::string name = entry->d_name;
            if (name != "." && name != "..") files.push_back(path + "/" + name);
        }
        closedir(directory);
    }
    std::sort(files.begin(), files.end());
    return files;
}

}  // namespace

int main(int argc, char** argv) {
    std::size_t replayed = 0;
    for (int i = 1; i < argc; ++i) {
        const std::vector<std::string> files = inputsIn(argv[i]);
        if (files.empty()) {
            std::fprintf(stderr, "no inputs at %s\n", argv[i]);
            return 1;
        }
        for (const std::string& file : files) {
            std::ifstream stream(file, std::ios::binary);
            const std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(stream)), std::istreambuf_iterator<char>());
            LLVMFuzzerTestOneInput(bytes.data(), bytes.size());
            ++replayed;
        }
    }
    std::printf("replayed %zu inputs\n", replayed);
    return replayed > 0 ? 0 : 1;
}
