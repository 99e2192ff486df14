#include "run/conversion_job.h"

#include <optional>
#include <system_error>
#include <utility>

#include "run/worker_pool.h"

namespace kelvara {

ConversionJob::ConversionJob(FileList& list, const Settings& settings, JobOwner& owner,
                             EntryProcessor processor)
    : list_(list), settings_(settings), owner_(owner), processor_(std::move(processor)) {}

ConversionJob::~ConversionJob() {
    cancel();
    wait();
}

void ConversionJob::wait() {
    if (thread_.joinable() && thread_.get_id() != std::this_thread::get_id()) {
        thread_.join();
    }
}

void ConversionJob::cancel() { stop_.store(true); }

void ConversionJob::start(bool onlySelected) {
    if (busy_.load()) {
        return;
    }
    std::vector<int> positions = list_.rowPositions(onlySelected);
    if (positions.empty()) {
        return;
    }
    // The previous run's threads ended before its last task cleared busy;
    // joining makes their writes happen before ours.
    wait();
    positions_ = std::move(positions);
    entries_.clear();
    entries_.reserve(positions_.size());
    for (const int position : positions_) {
        entries_.push_back({list_.cellText(position, kColumnFullPath),
                            list_.cellText(position, kColumnRelativePath)});
    }
    total_ = static_cast<int>(positions_.size());
    reports_.assign(positions_.size(), EntryReport{});
    copies_.assign(positions_.size(), false);
    counts_ = RunCounts{};
    done_.store(0);
    stop_.store(false);
    busy_.store(true);
    owner_.setEnabled(false);
    owner_.openProgress(total_);
    try {
        thread_ = std::thread([this] { runEngine(); });
    } catch (const std::system_error&) {
        owner_.closeProgress();
        owner_.setEnabled(true);
        busy_.store(false);
    }
}

void ConversionJob::runEngine() {
    try {
        runEntries();
    } catch (...) {
        // Out of memory while planning: the rows keep their statuses, and the
        // window must come back all the same.
    }
    owner_.post([this] { finishRun(); });
}

void ConversionJob::runEntries() {
    // Planning touches the file system for every entry: it is the run's
    // work, not the window's.
    std::optional<RunPlan> plan;
    DependencyGraph independent;
    if (!processor_) {
        plan.emplace(entries_, settings_);
        for (std::size_t i = 0; i < entries_.size(); ++i) {
            copies_[i] = (*plan)[i].plan.action == OutputAction::CopyUnchanged;
        }
    } else {
        DependencyBuilder builder;
        for (std::size_t i = 0; i < entries_.size(); ++i) {
            builder.add({});
        }
        independent = builder.take();
    }
    const EntryWork work = [&](std::size_t i) {
        return plan ? plan->process(i, entries_[i].fullPath, &reports_[i])
                    : processor_(entries_[i].fullPath, entries_[i].relativePath);
    };
    RunHooks hooks;
    hooks.stopRequested = [this] { return stop_.load(); };
    hooks.onStarted = [this](std::size_t i) {
        owner_.post([this, i] { owner_.entryStarted(entries_[i].fullPath); });
    };
    // Results come in list order; the owner's thread sets them, this one
    // never waits for it.
    hooks.onResult = [this](std::size_t i, ConvertStatus status) {
        owner_.post([this, i, status] {
            count(i, status);
            list_.setStatus(positions_[i], status, std::move(reports_[i]));
            const int done = done_.fetch_add(1) + 1;
            owner_.advanceProgress(std::to_string(done) + '/' + std::to_string(total_));
        });
    };
    kelvara::runEntries(plan ? plan->graph() : independent, workerCount(settings_.Jobs), work, hooks);
}

void ConversionJob::count(std::size_t i, ConvertStatus status) {
    if (isFailure(status)) {
        ++counts_.failed;
    } else if (status == ConvertStatus::Skipped) {
        ++counts_.skipped;
    } else if (copies_[i]) {
        ++counts_.copied;
    } else {
        ++counts_.converted;
    }
}

void ConversionJob::finishRun() {
    counts_.cancelled = stop_.load();
    counts_.notStarted = total_ - done_.load();
    if (settings_.DelSuccessItem) {
        // Only now, after the last row: the queued positions had to stay valid.
        list_.removeSucceeded();
    }
    if (!settings_.TopMost) {
        owner_.dropTopmost();
    }
    owner_.closeProgress();
    owner_.setEnabled(true);
    // Once clear, the owner may start the next run or close.
    busy_.store(false);
    owner_.runFinished();
}

}  // namespace kelvara
