#include "conversion/conversion_job.h"

#include <system_error>
#include <utility>

#include <optional>

#include "conversion/run_plan.h"

namespace kelvara {

ConversionJob::ConversionJob(FileList& list, const Settings& settings, JobOwner& owner,
                             EntryProcessor processor)
    : list_(list), settings_(settings), owner_(owner), processor_(std::move(processor)) {}

ConversionJob::~ConversionJob() { wait(); }

void ConversionJob::wait() {
    // A task run inline on the worker that asks for this would join itself.
    if (thread_.joinable() && thread_.get_id() != std::this_thread::get_id()) {
        thread_.join();
    }
}

void ConversionJob::start(bool onlySelected) {
    if (busy_.load()) {
        return;
    }
    std::vector<int> positions = list_.rowPositions(onlySelected);
    if (positions.empty()) {
        return;
    }
    // The previous worker has cleared busy as its last step; joining it here
    // makes its writes to queue_ and done_ happen before ours.
    wait();
    queue_ = std::move(positions);
    total_ = static_cast<int>(queue_.size());
    done_.store(0);
    // Busy and disabled before the worker exists, so that no second start or
    // user command can slip in before the progress is shown.
    busy_.store(true);
    owner_.setEnabled(false);
    try {
        thread_ = std::thread([this] { runWorker(); });
    } catch (const std::system_error&) {
        queue_.clear();
        owner_.setEnabled(true);
        busy_.store(false);
    }
}

void ConversionJob::runWorker() {
    openProgress();
    // The whole run is planned before its first entry, so that no output
    // replaces another file of the run.
    std::vector<RunEntry> entries(queue_.size());
    owner_.runOnOwnerThread([&] {
        for (std::size_t k = 0; k < queue_.size(); ++k) {
            entries[k] = {list_.cellText(queue_[k], kColumnFullPath),
                          list_.cellText(queue_[k], kColumnRelativePath)};
        }
    });
    const std::optional<RunPlan> plan =
        processor_ ? std::nullopt : std::optional<RunPlan>(std::in_place, entries, settings_);
    for (std::size_t k = 0; k < queue_.size(); ++k) {
        const int position = queue_[k];
        // The conversion itself stays on the worker; only list access is
        // handed to the owner's thread.
        const ConvertStatus status = plan ? plan->process(k, entries[k].fullPath)
                                          : processor_(entries[k].fullPath, entries[k].relativePath);
        owner_.runOnOwnerThread([&] { list_.setStatus(position, status); });
        advanceProgress();
    }
    finishRun();
    queue_.clear();
    closeProgress();
}

void ConversionJob::openProgress() {
    // busy and the disabled owner were already set by start().
    owner_.openProgress(total_);
}

void ConversionJob::advanceProgress() {
    const int done = done_.fetch_add(1) + 1;
    owner_.advanceProgress(std::to_string(done) + '/' + std::to_string(total_));
}

void ConversionJob::finishRun() {
    if (settings_.DelSuccessItem) {
        // Only now, after the last row: the queued positions had to stay valid.
        owner_.runOnOwnerThread([this] { list_.removeSucceeded(); });
    }
    if (!settings_.TopMost) {
        owner_.dropTopmost();
    }
}

void ConversionJob::closeProgress() {
    owner_.closeProgress();
    owner_.setEnabled(true);
    // Last: once clear, the owner may start the next run or close.
    busy_.store(false);
}

}  // namespace kelvara
