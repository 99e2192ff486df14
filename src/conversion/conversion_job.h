#pragma once

#include <atomic>
#include <functional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "convert/convert.h"
#include "filelist/file_list.h"
#include "settings/settings.h"

namespace kelvara {

inline constexpr std::string_view kProgressWaitText =
    "Please wait while the program is converting your images...";

// The window (or terminal) a run belongs to. setEnabled(false) comes from
// start() on the owner's thread; every later call comes from the worker
// thread, in the order of the run, and an implementation carries each out on
// its own thread and in that order.
class JobOwner {
public:
    virtual ~JobOwner() = default;
    // Runs task on the owner's thread and returns when it is done. Every
    // access of the worker to the file list goes through here. An owner whose
    // thread runs an event loop must keep serving these during a run.
    virtual void runOnOwnerThread(const std::function<void()>& task) = 0;
    virtual void setEnabled(bool enabled) = 0;
    // Shows the progress window: the waiting text and a bar of 0..total.
    virtual void openProgress(int total) = 0;
    // The counter text ("k/n") and one step of the bar.
    virtual void advanceProgress(const std::string& counterText) = 0;
    virtual void closeProgress() = 0;
    // Makes the window non-topmost (and shown), keeping its place and size.
    virtual void dropTopmost() = 0;
};

// Converts the chosen rows of a file list one after another on a worker
// thread: each row's status is set as soon as it is done, the owner is
// disabled for the whole run and shown the progress.
//
// The list and the settings must outlive the job. The settings are read by
// the worker without a lock: nothing may change them while busy() is true
// (the disabled owner is what keeps the user from doing so).
class ConversionJob {
public:
    using EntryProcessor =
        std::function<ConvertStatus(const std::string& fullPath, const std::string& relativePath)>;

    // Without a processor the run is planned as a whole (RunPlan) and each
    // entry carried out by that plan with `settings`.
    ConversionJob(FileList& list, const Settings& settings, JobOwner& owner,
                  EntryProcessor processor = {});
    // Waits for a running worker, like wait(). An owner that needs its own
    // thread to serve runOnOwnerThread must not destroy a busy job on that
    // thread (it would never finish); a window refusing to close while
    // busy() keeps the job idle by the time it is destroyed.
    ~ConversionJob();
    ConversionJob(const ConversionJob&) = delete;
    ConversionJob& operator=(const ConversionJob&) = delete;

    // On the owner's thread. Ignored while a run is busy or when there is no
    // row to convert; otherwise sets busy, disables the owner and starts the
    // worker, returning at once. Should no thread be available, the owner is
    // enabled again and nothing runs.
    void start(bool onlySelected);
    // True from start() until the worker has closed the progress and enabled
    // the owner; the last thing a run changes.
    bool busy() const { return busy_.load(); }
    // Waits until the current worker (if any) has ended. Not from inside a
    // runOnOwnerThread task, and not on the owner's thread while a run is
    // busy unless that owner runs its tasks inline. Call it from the thread
    // that calls start().
    void wait();

    // Of the current (or last) run. total() on the owner's thread: start()
    // writes it; done() anywhere.
    int total() const { return total_; }
    int done() const { return done_.load(); }

private:
    void runWorker();
    void openProgress();
    void advanceProgress();
    void finishRun();
    void closeProgress();

    FileList& list_;
    const Settings& settings_;
    JobOwner& owner_;
    EntryProcessor processor_;
    std::vector<int> queue_;
    int total_ = 0;
    std::atomic<int> done_{0};
    std::atomic<bool> busy_{false};
    std::thread thread_;
};

}  // namespace kelvara
