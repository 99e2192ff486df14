#include "conversion/conversion_job.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "support/test_support.h"

namespace kelvara {
namespace {

using Log = std::vector<std::string>;

// An owner with a thread of its own that serves runOnOwnerThread like an event
// loop, so the worker really waits while the owner's thread does the work.
// With inlineTasks the caller's thread runs each task directly (a terminal).
// Every call, and what list observers and processors report, goes into one log.
class FakeOwner final : public JobOwner {
public:
    explicit FakeOwner(bool inlineTasks = false) {
        if (!inlineTasks) {
            thread_ = std::thread([this] { serve(); });
        }
    }
    ~FakeOwner() override {
        {
            std::lock_guard lock(mutex_);
            stop_ = true;
        }
        wake_.notify_all();
        if (thread_.joinable()) {
            thread_.join();
        }
    }

    // Runs fn on the owner's thread and waits for it, as the test's own way in.
    void execute(const std::function<void()>& fn) {
        if (!thread_.joinable()) {
            fn();
            return;
        }
        Pending pending{fn};
        std::unique_lock lock(mutex_);
        tasks_.push_back(&pending);
        wake_.notify_all();
        wake_.wait(lock, [&] { return pending.done; });
    }
    bool onOwnerThread() const { return std::this_thread::get_id() == thread_.get_id(); }
    void record(std::string entry) {
        std::lock_guard lock(logMutex_);
        log_.push_back(std::move(entry));
    }
    Log log() const {
        std::lock_guard lock(logMutex_);
        return log_;
    }
    void clearLog() {
        std::lock_guard lock(logMutex_);
        log_.clear();
    }

    void runOnOwnerThread(const std::function<void()>& task) override {
        execute([&] {
            record("task");
            task();
        });
    }
    // Disabling belongs to start() on the owner's thread; the run must still
    // be busy while it closes, since the owner reads busy to refuse closing.
    void setEnabled(bool enabled) override {
        if (enabled) {
            record(stillBusy() ? "enable" : "enable when idle");
        } else {
            record(thread_.joinable() && !onOwnerThread() ? "disable off owner thread" : "disable");
        }
    }
    void openProgress(int total) override { record("open " + std::to_string(total)); }
    void advanceProgress(const std::string& text) override { record("advance " + text); }
    void closeProgress() override { record(stillBusy() ? "close" : "close when idle"); }
    void dropTopmost() override { record("dropTopmost"); }

    const ConversionJob* job = nullptr;

private:
    struct Pending {
        const std::function<void()>& fn;
        bool done = false;
    };

    bool stillBusy() const { return job == nullptr || job->busy(); }

    void serve() {
        std::unique_lock lock(mutex_);
        for (;;) {
            wake_.wait(lock, [this] { return stop_ || !tasks_.empty(); });
            if (tasks_.empty()) {
                return;
            }
            Pending* pending = tasks_.front();
            tasks_.pop_front();
            lock.unlock();
            pending->fn();
            lock.lock();
            pending->done = true;
            wake_.notify_all();
        }
    }

    std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<Pending*> tasks_;
    bool stop_ = false;
    mutable std::mutex logMutex_;
    Log log_;
    std::thread thread_;  // last: started once everything above exists
};

// Logs each list change and counts those made off the owner's thread.
class ListWatch final : public FileListObserver {
public:
    explicit ListWatch(FakeOwner& owner) : owner_(owner) {}
    void statusChanged(int position) override { note("status " + std::to_string(position)); }
    void rearranged() override { note("removed"); }
    std::atomic<int> offOwnerThread{0};

private:
    void note(std::string entry) {
        if (!owner_.onOwnerThread()) {
            ++offOwnerThread;
        }
        owner_.record(std::move(entry));
    }
    FakeOwner& owner_;
};

// A one-way gate the processor can be held at.
class Gate {
public:
    bool waitFor(std::chrono::milliseconds limit) {
        std::unique_lock lock(mutex_);
        return cv_.wait_for(lock, limit, [this] { return open_; });
    }
    void open() {
        {
            std::lock_guard lock(mutex_);
            open_ = true;
        }
        cv_.notify_all();
    }
    void pass() {
        std::unique_lock lock(mutex_);
        cv_.wait(lock, [this] { return open_; });
    }

private:
    std::mutex mutex_;
    std::condition_variable cv_;
    bool open_ = false;
};

class ConversionJobTest : public ::testing::Test {
protected:
    void addRows(int count) {
        for (int i = list.rowCount(), end = i + count; i < end; ++i) {
            list.addEntry("/base/r" + std::to_string(i) + ".bmp", "/base");
        }
    }
    // Scripted statuses by relative path; anything else succeeds.
    ConversionJob::EntryProcessor processor() {
        return [this](const std::string& full, const std::string& relative) {
            EXPECT_EQ(full, "/base/" + relative);
            EXPECT_FALSE(owner.onOwnerThread()) << "conversion ran on the owner's thread";
            owner.record("process " + relative);
            if (gate) {
                gate->pass();
            }
            const auto found = script.find(relative);
            return found == script.end() ? ConvertStatus::Success : found->second;
        };
    }
    void SetUp() override { owner.job = &job; }
    // One run, started on the owner's thread. Like a window, the test only
    // watches busy and never joins, so the next start() must do that.
    void run(bool onlySelected) {
        const std::size_t before = owner.log().size();
        owner.execute([&] { job.start(onlySelected); });
        const auto finished = [&] {
            const Log log = owner.log();
            return log.size() == before || log.back().rfind("enable", 0) == 0;
        };
        while (!finished() || job.busy()) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    }
    std::vector<std::string> statuses() const {
        std::vector<std::string> out;
        for (int i = 0; i < list.rowCount(); ++i) {
            out.push_back(list.cellText(i, kColumnStatus));
        }
        return out;
    }
    void TearDown() override { EXPECT_EQ(watch.offOwnerThread, 0); }

    FileList list;
    Settings settings;
    FakeOwner owner;
    ListWatch watch{owner};
    std::map<std::string, ConvertStatus> script;
    std::optional<Gate> gate;
    ConversionJob job{list, settings, owner, processor()};
};

// The whole log of a run over the rows at `positions`, ending with `tail`.
Log expectedRun(const std::vector<int>& positions, const Log& tail) {
    const auto total = std::to_string(positions.size());
    Log log{"disable", "open " + total};
    for (std::size_t k = 0; k < positions.size(); ++k) {
        const auto p = std::to_string(positions[k]);
        log.insert(log.end(), {"task", "process r" + p + ".bmp", "task", "status " + p,
                               "advance " + std::to_string(k + 1) + "/" + total});
    }
    log.insert(log.end(), tail.begin(), tail.end());
    return log;
}

TEST_F(ConversionJobTest, OwnerCallsFollowTheRunInOrder) {
    for (const bool topMost : {false, true}) {
        SCOPED_TRACE(topMost ? "TopMost on" : "TopMost off");
        addRows(5);  // the first run removed them all, so the paths are free again
        list.setObserver(&watch);
        settings.TopMost = topMost;
        settings.DelSuccessItem = true;
        owner.clearLog();
        owner.execute([&] {
            job.start(false);
            // The worker cannot pass its first list read while this task holds
            // the owner's thread, so this is the state start() left behind.
            EXPECT_TRUE(job.busy());
            EXPECT_EQ(job.total(), 5);
            const Log early = owner.log();
            ASSERT_FALSE(early.empty());
            EXPECT_EQ(early.front(), "disable");
        });
        job.wait();
        const Log tail = topMost ? Log{"task", "removed", "close", "enable"}
                                 : Log{"task", "removed", "dropTopmost", "close", "enable"};
        EXPECT_EQ(owner.log(), expectedRun({0, 1, 2, 3, 4}, tail));
        EXPECT_FALSE(job.busy());
        EXPECT_EQ(job.done(), 5);
        EXPECT_EQ(list.rowCount(), 0);
    }
}

TEST_F(ConversionJobTest, ConvertSelectedTakesOnlySelectedRowsInOrder) {
    settings.DelSuccessItem = false;
    settings.TopMost = true;
    addRows(5);
    list.setSelected(3, true);
    list.setSelected(1, true);
    script["r3.bmp"] = ConvertStatus::NotEightBit;
    list.setObserver(&watch);
    run(true);

    EXPECT_EQ(owner.log(), expectedRun({1, 3}, {"close", "enable"}));
    EXPECT_EQ(job.total(), 2);
    const std::string waiting(kWaitingText);
    EXPECT_EQ(statuses(), (std::vector<std::string>{waiting, statusText(ConvertStatus::Success), waiting,
                                                    statusText(ConvertStatus::NotEightBit), waiting}));
}

TEST_F(ConversionJobTest, EachRowGetsItsStatusAndALaterRunOverwritesIt) {
    settings.DelSuccessItem = false;
    const std::vector<ConvertStatus> all{ConvertStatus::Success,           ConvertStatus::Skipped,
                                         ConvertStatus::CopyFailed,        ConvertStatus::UnsupportedFormat,
                                         ConvertStatus::NotEightBit,       ConvertStatus::WriteError};
    addRows(6);
    list.setObserver(&watch);
    for (int i = 0; i < 6; ++i) {
        script["r" + std::to_string(i) + ".bmp"] = all[static_cast<std::size_t>(i)];
    }
    run(false);
    std::vector<std::string> expected;
    for (const ConvertStatus s : all) {
        expected.push_back(statusText(s));
    }
    EXPECT_EQ(statuses(), expected);

    // Reversed results on a second run replace the first ones directly.
    for (int i = 0; i < 6; ++i) {
        script["r" + std::to_string(i) + ".bmp"] = all[static_cast<std::size_t>(5 - i)];
    }
    run(false);
    std::reverse(expected.begin(), expected.end());
    EXPECT_EQ(statuses(), expected);
}

TEST_F(ConversionJobTest, DelSuccessItemRemovesSucceededRowsAfterTheWholeRun) {
    addRows(3);
    list.setObserver(&watch);
    script["r1.bmp"] = ConvertStatus::Skipped;
    run(false);
    // One removal, after the last row was counted.
    const Log log = owner.log();
    EXPECT_EQ(std::count(log.begin(), log.end(), "removed"), 1);
    EXPECT_LT(std::find(log.begin(), log.end(), "advance 3/3"), std::find(log.begin(), log.end(), "removed"));
    ASSERT_EQ(list.rowCount(), 1);
    EXPECT_EQ(list.cellText(0, kColumnFullPath), "/base/r1.bmp");
    EXPECT_FALSE(list.containsPath("/base/r0.bmp"));
    EXPECT_FALSE(list.containsPath("/base/r2.bmp"));
}

TEST_F(ConversionJobTest, SucceededRowsStayUntilARunWithDelSuccessItem) {
    settings.DelSuccessItem = false;
    addRows(3);
    list.setObserver(&watch);
    script["r1.bmp"] = ConvertStatus::Skipped;
    run(false);
    ASSERT_EQ(list.rowCount(), 3);
    EXPECT_EQ(list.cellText(0, kColumnStatus), statusText(ConvertStatus::Success));

    // A run over row 1 alone also takes the successes of the earlier run.
    settings.DelSuccessItem = true;
    list.setSelected(1, true);
    run(true);
    ASSERT_EQ(list.rowCount(), 1);
    EXPECT_EQ(list.cellText(0, kColumnFullPath), "/base/r1.bmp");
}

TEST_F(ConversionJobTest, StartWhileBusyIsIgnored) {
    settings.DelSuccessItem = false;
    addRows(3);
    list.setObserver(&watch);
    gate.emplace();
    owner.execute([&] { job.start(false); });
    // Wait until the worker is held inside the first conversion.
    while (owner.log().empty() || owner.log().back().rfind("process", 0) != 0) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    const Log before = owner.log();
    EXPECT_EQ(before, (Log{"disable", "open 3", "task", "process r0.bmp"}));
    EXPECT_TRUE(job.busy());
    EXPECT_EQ(job.done(), 0);
    list.setSelected(2, true);  // safe: the worker is parked in the processor
    // Should a start get through, it must not hang the test on the held worker.
    Gate checked;
    std::thread opener([&] {
        checked.waitFor(std::chrono::seconds(2));
        gate->open();
    });
    // From the test's thread rather than the owner's: a start that got
    // through and joined the worker there would deadlock instead of failing.
    job.start(false);
    job.start(true);
    EXPECT_EQ(owner.log(), before);
    checked.open();
    opener.join();
    job.wait();

    EXPECT_EQ(owner.log(), expectedRun({0, 1, 2}, {"dropTopmost", "close", "enable"}));
    EXPECT_EQ(job.total(), 3);
}

TEST_F(ConversionJobTest, NothingToConvertTouchesNothing) {
    list.setObserver(&watch);
    run(false);
    run(true);
    addRows(2);
    run(true);  // rows, but none selected
    EXPECT_TRUE(owner.log().empty());
    EXPECT_EQ(statuses(), std::vector<std::string>(2, std::string(kWaitingText)));
}

TEST(ConversionJob, DestructorFinishesARunningWorker) {
    FileList list;
    Settings settings;
    FakeOwner owner(true);
    list.addEntry("/base/a.bmp", "/base");
    list.addEntry("/base/b.bmp", "/base");
    Gate entered;
    {
        ConversionJob job(list, settings, owner, [&](const std::string&, const std::string& relative) {
            owner.record("process " + relative);
            entered.open();
            std::this_thread::sleep_for(std::chrono::milliseconds(30));
            return ConvertStatus::Skipped;
        });
        job.start(false);
        entered.pass();
    }
    const Log log = owner.log();
    ASSERT_FALSE(log.empty());
    EXPECT_EQ(log.back(), "enable");
    EXPECT_EQ(std::count(log.begin(), log.end(), "process b.bmp"), 1);
    EXPECT_EQ(list.cellText(1, kColumnStatus), statusText(ConvertStatus::Skipped));
}

TEST(ConversionJob, ProcessesEntriesWithTheSettingsByDefault) {
    test::TempDir dir;
    test::writeFile(dir.file("notes.txt"), std::string("text"));
    FileList list;
    list.addEntry(dir.file("notes.txt"), dir.path());
    Settings settings;
    settings.UnKnownFlag = 1;  // copied, and only into SaveDir
    settings.SaveDirFlag = 1;
    settings.SaveDir = dir.file("out");
    settings.DelSuccessItem = false;
    FakeOwner owner(true);
    ConversionJob job(list, settings, owner);
    job.start(false);
    job.wait();
    EXPECT_EQ(list.cellText(0, kColumnStatus), statusText(ConvertStatus::Success));
    EXPECT_EQ(test::readFile(dir.file("out/notes.txt")), test::readFile(dir.file("notes.txt")));
}

}  // namespace
}  // namespace kelvara
