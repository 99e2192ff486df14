#include "run/worker_pool.h"

#include <unistd.h>

#include <algorithm>
#include <condition_variable>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <queue>
#include <string_view>
#include <system_error>
#include <thread>

namespace kelvara {

namespace {

class Runner {
  public:
    Runner(const DependencyGraph& graph, const EntryWork& work, const RunHooks& hooks)
        : work_(work),
          hooks_(hooks),
          count_(graph.size()),
          pending_(count_),
          results_(count_, ConvertStatus::Skipped),
          finished_(count_, 0) {
        std::vector<std::size_t> fanOut(count_ + 1, 0);
        for (std::size_t i = 0; i < count_; ++i) {
            pending_[i] = static_cast<std::uint32_t>(graph.of(i).size());
            for (const std::uint32_t d : graph.of(i)) {
                ++fanOut[d + 1];
            }
            if (pending_[i] == 0) {
                ready_.push(static_cast<std::uint32_t>(i));
            }
        }
        for (std::size_t i = 0; i < count_; ++i) {
            fanOut[i + 1] += fanOut[i];
        }
        dependentOffsets_ = fanOut;
        dependents_.resize(fanOut[count_]);
        for (std::size_t i = 0; i < count_; ++i) {
            for (const std::uint32_t d : graph.of(i)) {
                dependents_[fanOut[d]++] = static_cast<std::uint32_t>(i);
            }
        }
    }

    std::size_t run(unsigned jobs) {
        std::vector<std::thread> threads;
        const std::size_t wanted = std::min<std::size_t>(std::max(jobs, 1u), count_);
        // A single worker beside a thread that only waits for it adds two
        // thread hand-overs per entry: one job runs on the calling thread.
        for (std::size_t k = 0; wanted > 1 && k < wanted; ++k) {
            std::lock_guard lock(mutex_);
            try {
                threads.emplace_back([this] { workerLoop(); });
                ++liveWorkers_;
            } catch (const std::system_error&) {
                break;  // run with the workers there are
            }
        }
        if (threads.empty()) {
            runInline();
        } else {
            deliverWhileRunning();
            for (std::thread& t : threads) {
                t.join();
            }
        }
        // After a stop, entries beyond one that never started may have run.
        for (; next_ < count_; ++next_) {
            if (finished_[next_] != 0) {
                hooks_.onResult(next_, results_[next_]);
            }
        }
        return started_;
    }

  private:
    // Finished entries wake the calling thread at most this often.
    static constexpr std::chrono::milliseconds kWakeEvery{2};

    bool shouldStop() {
        if (!stopping_ && hooks_.stopRequested && hooks_.stopRequested()) {
            stopping_ = true;
        }
        return stopping_;
    }

    // With the lock held: takes the lowest ready entry, runs it unlocked and
    // records it. False when there is nothing to start (or a stop).
    bool runOne(std::unique_lock<std::mutex>& lock) {
        if (ready_.empty() || shouldStop()) {
            return false;
        }
        const std::uint32_t entry = ready_.top();
        ready_.pop();
        ++started_;
        ++inFlight_;
        lock.unlock();
        ConvertStatus status = ConvertStatus::WriteError;
        try {
            if (hooks_.onStarted) {
                hooks_.onStarted(entry);
            }
            status = work_(entry);
        } catch (...) {
            // An entry that could not be carried out (out of memory) failed.
        }
        lock.lock();
        --inFlight_;
        results_[entry] = status;
        finished_[entry] = 1;
        ++finishedCount_;
        for (std::size_t k = dependentOffsets_[entry]; k < dependentOffsets_[entry + 1]; ++k) {
            if (--pending_[dependents_[k]] == 0) {
                ready_.push(dependents_[k]);
            }
        }
        workReady_.notify_all();
        // The calling thread hands results out in bursts: waking it for
        // every small entry would take a processor from the workers.
        if (const auto now = std::chrono::steady_clock::now(); now - lastWake_ >= kWakeEvery) {
            lastWake_ = now;
            progress_.notify_one();
        }
        return true;
    }

    void workerLoop() {
        std::unique_lock lock(mutex_);
        while (finishedCount_ < count_ && !shouldStop()) {
            if (!runOne(lock)) {
                if (inFlight_ == 0) {
                    break;  // nothing running could make anything ready
                }
                workReady_.wait(lock);
            }
        }
        --liveWorkers_;
        workReady_.notify_all();
        progress_.notify_one();
    }

    // Hands out the finished prefix of the list, unlocked.
    void deliver(std::unique_lock<std::mutex>& lock) {
        batch_.clear();
        for (; next_ < count_ && finished_[next_] != 0; ++next_) {
            batch_.push_back(next_);
        }
        lock.unlock();
        for (const std::size_t entry : batch_) {
            hooks_.onResult(entry, results_[entry]);  // written before finished_, never again
        }
        if (hooks_.onTick) {
            hooks_.onTick();
        }
        lock.lock();
    }

    void deliverWhileRunning() {
        std::unique_lock lock(mutex_);
        for (;;) {
            const bool over = liveWorkers_ == 0;
            deliver(lock);
            if (over) {
                return;
            }
            if (shouldStop()) {
                workReady_.notify_all();  // waiting workers see it and leave
            }
            if (liveWorkers_ == 0) {
                continue;
            }
            progress_.wait_for(lock, hooks_.tickInterval);
        }
    }

    void runInline() {
        std::unique_lock lock(mutex_);
        while (runOne(lock)) {
            deliver(lock);
        }
    }

    const EntryWork& work_;
    const RunHooks& hooks_;
    const std::size_t count_;

    std::mutex mutex_;
    std::condition_variable workReady_;
    std::condition_variable progress_;
    std::vector<std::uint32_t> pending_;
    std::vector<std::size_t> dependentOffsets_;
    std::vector<std::uint32_t> dependents_;
    std::priority_queue<std::uint32_t, std::vector<std::uint32_t>, std::greater<>> ready_;
    std::vector<ConvertStatus> results_;
    std::vector<std::uint8_t> finished_;
    std::size_t finishedCount_ = 0;
    std::size_t started_ = 0;
    unsigned inFlight_ = 0;
    unsigned liveWorkers_ = 0;
    bool stopping_ = false;
    std::chrono::steady_clock::time_point lastWake_{};

    // Only the calling thread touches these.
    std::size_t next_ = 0;
    std::vector<std::size_t> batch_;
};

}  // namespace

unsigned workerCount(int jobs) {
    if (jobs > 0) {
        return static_cast<unsigned>(jobs);
    }
    const long online = ::sysconf(_SC_NPROCESSORS_ONLN);
    return online > 0 ? static_cast<unsigned>(online) : 1u;
}

std::size_t runEntries(const DependencyGraph& graph, unsigned jobs, const EntryWork& work,
                       const RunHooks& hooks) {
    if (graph.size() == 0) {
        return 0;
    }
    Runner runner(graph, work, hooks);
    return runner.run(jobs);
}

}  // namespace kelvara
