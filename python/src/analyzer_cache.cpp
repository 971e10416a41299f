#include "analyzer_cache.h"

#include <pybind11/pybind11.h>

#include <list>
#include <utility>
#include <vector>

namespace hdrmeter_python {

namespace {

// Enough for a script that alternates a few option sets (PQ and HLG, two thresholds); each analyzer holds
// a thread per core, so the cache stays small.
constexpr std::size_t kCachedAnalyzers = 8;

using Entry = std::shared_ptr<const hdrmeter::Analyzer>;

// Most recently used first. Never destroyed: at exit the analyzers' threads are left to the process's end
// instead of being joined while the interpreter is already gone.
std::list<Entry>& entries() {
    static auto* list = new std::list<Entry>();
    return *list;
}

Entry find(const hdrmeter::AnalysisSettings& settings) {
    std::list<Entry>& list = entries();
    for (auto it = list.begin(); it != list.end(); ++it) {
        if ((*it)->settings() == settings) {
            list.splice(list.begin(), list, it);
            return list.front();
        }
    }
    return nullptr;
}

}  // namespace

std::shared_ptr<const hdrmeter::Analyzer> cachedAnalyzer(const hdrmeter::AnalysisSettings& settings) {
    if (Entry hit = find(settings)) return hit;
    Entry built;
    {
        pybind11::gil_scoped_release release;
        built = std::make_shared<const hdrmeter::Analyzer>(settings);
    }
    // Another thread may have built the same one meanwhile; the first in the cache is the one kept.
    if (Entry hit = find(settings)) return hit;
    std::list<Entry>& list = entries();
    list.push_front(built);
    if (list.size() > kCachedAnalyzers) list.pop_back();
    return built;
}

void abandonCachedAnalyzersAfterFork() {
    static auto* abandoned = new std::vector<Entry>();
    for (Entry& entry : entries()) abandoned->push_back(std::move(entry));
    entries().clear();
}

}  // namespace hdrmeter_python
