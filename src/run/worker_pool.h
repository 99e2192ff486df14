#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include "convert/convert.h"
#include "run/run_plan.h"

namespace kelvara {

using EntryWork = std::function<ConvertStatus(std::size_t entry)>;
using ResultSink = std::function<void(std::size_t entry, ConvertStatus status)>;

struct RunHooks {
    // Read by the workers before they start each entry; once true, no entry
    // starts any more. Must be safe to call from any thread.
    std::function<bool()> stopRequested;
    // On the worker's thread as an entry starts (so from several threads at
    // once); optional.
    std::function<void(std::size_t entry)> onStarted;
    // On the calling thread, in list order, for every entry that ran. After
    // a stop, entries that never started are passed over.
    ResultSink onResult;
    // On the calling thread, at least every tickInterval while entries run.
    std::function<void()> onTick;
    std::chrono::milliseconds tickInterval{100};
};

// Runs work for every entry of the graph on up to `jobs` threads, the
// lowest-numbered ready entry first; an entry starts only once every entry
// it depends on has finished. Returns how many entries ran. When no thread
// can be started, the entries run one after another on the calling thread.
std::size_t runEntries(const DependencyGraph& graph, unsigned jobs, const EntryWork& work,
                       const RunHooks& hooks);

// Workers for a Jobs setting or option: the number given, or one per online
// processor for 0 (or less).
unsigned workerCount(int jobs);

}  // namespace kelvara
