#pragma once

#include <atomic>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "convert/convert.h"
#include "filelist/file_list.h"
#include "run/run_plan.h"
#include "settings/settings.h"

namespace kelvara {

// The window (or terminal) a run belongs to. Every call comes on the owner's
// own thread, except post(), which the run's threads use to hand it work.
class JobOwner {
public:
    virtual ~JobOwner() = default;
    // Carries task out later on the owner's thread, tasks in the order they
    // were posted, and returns at once: no thread of a run ever waits for
    // the owner.
    virtual void post(std::function<void()> task) = 0;
    virtual void setEnabled(bool enabled) = 0;
    // Shows the progress window: the waiting text and a bar of 0..total.
    virtual void openProgress(int total) = 0;
    // The counter text ("k/n") and one step of the bar.
    virtual void advanceProgress(const std::string& counterText) = 0;
    virtual void closeProgress() = 0;
    // Makes the window non-topmost (and shown), keeping its place and size.
    virtual void dropTopmost() = 0;
    // An entry of the run has started (with several workers, the latest).
    virtual void entryStarted(const std::string& /*fullPath*/) {}
    // The run is over and busy() false; its counts are final.
    virtual void runFinished() {}
};

// What a run did with its rows, counted as their results came in.
struct RunCounts {
    int converted = 0;   // images written
    int copied = 0;      // other files copied unchanged
    int skipped = 0;
    int failed = 0;
    int notStarted = 0;  // rows a cancel left alone
    bool cancelled = false;
};

// Converts the chosen rows of a file list on the run engine: the run is
// planned as a whole (RunPlan), entries run on Jobs workers (0: one per
// processor) with the results of one worker, and each row's status is set,
// in list order, as soon as it and every row before it are done. The owner
// is disabled for the whole run and shown the progress.
//
// The list and the settings must outlive the job; nothing may change them
// while busy() is true (the disabled owner keeps the user from doing so).
class ConversionJob {
public:
    using EntryProcessor =
        std::function<ConvertStatus(const std::string& fullPath, const std::string& relativePath)>;

    // Without a processor each entry is carried out by the run's plan; with
    // one (for tests) it is called instead and the entries wait for nothing.
    ConversionJob(FileList& list, const Settings& settings, JobOwner& owner,
                  EntryProcessor processor = {});
    // Stops a run that is still going (cancel) and waits for its threads.
    ~ConversionJob();
    ConversionJob(const ConversionJob&) = delete;
    ConversionJob& operator=(const ConversionJob&) = delete;

    // On the owner's thread. Ignored while a run is busy or when there is no
    // row to convert; otherwise disables the owner, opens the progress and
    // starts the run, returning at once. Should no thread be available, the
    // owner is enabled again and nothing runs.
    void start(bool onlySelected);
    // No entry starts any more; entries already running finish (their files
    // whole or absent), rows that never started keep their status, and the
    // run ends as usual.
    void cancel();
    // True from start() until the last task of the run (closing the progress,
    // enabling the owner) has been carried out on the owner's thread.
    bool busy() const { return busy_.load(); }
    // Waits until the run's threads have ended (its last tasks may still be
    // waiting for the owner's thread).
    void wait();

    // Of the current (or last) run: rows queued, and rows whose status is set.
    int total() const { return total_; }
    int done() const { return done_.load(); }
    // Of the current (or last) run, on the owner's thread.
    const RunCounts& counts() const { return counts_; }

private:
    void runEngine();
    void runEntries();
    void count(std::size_t entry, ConvertStatus status);
    void finishRun();

    FileList& list_;
    const Settings& settings_;
    JobOwner& owner_;
    EntryProcessor processor_;
    std::vector<int> positions_;
    std::vector<RunEntry> entries_;
    // Each entry's output or failure, written by the worker that ran it and
    // taken on the owner's thread with its result.
    std::vector<EntryReport> reports_;
    std::vector<bool> copies_;  // entries that copy a file unchanged
    RunCounts counts_;
    int total_ = 0;
    std::atomic<int> done_{0};
    std::atomic<bool> busy_{false};
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

}  // namespace kelvara
