// A few analyzers kept by their settings. Building one starts its worker threads and fills its tables, so
// a script that measures frame after frame with the same options must not pay for that on every call.
#ifndef HDRMETER_PYTHON_ANALYZER_CACHE_H
#define HDRMETER_PYTHON_ANALYZER_CACHE_H

#include <hdrmeter/analysis.h>

#include <memory>

namespace hdrmeter_python {

// The analyzer for these settings. Call with the GIL held: the GIL is what guards the cache, which also
// keeps it consistent across fork(). A missing analyzer is built with the GIL released.
// std::invalid_argument for settings the analyzer refuses.
std::shared_ptr<const hdrmeter::Analyzer> cachedAnalyzer(const hdrmeter::AnalysisSettings& settings);

// In a child made by fork() the analyzers' worker threads do not exist, so they can neither measure nor
// be destroyed (joining a thread that is not there): the child forgets them without destroying them and
// builds its own. Call with the GIL held.
void abandonCachedAnalyzersAfterFork();

}  // namespace hdrmeter_python

#endif
