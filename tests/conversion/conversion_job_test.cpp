#include "conversion/conversion_job.h"

#include "codecs/bmp.h"
#include "codecs/png.h"
#include "support/test_support.h"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <deque>
#include <future>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace kelvara {
namespace {

using namespace std::chrono_literals;
using Log = std::vector<std::string>;

// A window stand-in whose own thread serves runOnOwnerThread like an event
// loop. Every owner call and list change goes into one log, marked when it
// came from the wrong thread or while the job no longer counted as busy.
class FakeOwner final : public JobOwner, public FileListObserver {
  public:
    FakeOwner() : thread_([this] { serve(); }) {}
    ~FakeOwner() override {
        {
            std::lock_guard lock(mutex_);
            tasks_.emplace_back();  // an empty task stops the loop
        }
        wake_.notify_all();
        thread_.join();
    }

    // Runs fn on the owner's thread and waits for it.
    void execute(std::function<void()> fn) {
        std::packaged_task<void()> task(std::move(fn));
        std::future<void> done = task.get_future();
        {
            std::lock_guard lock(mutex_);
            tasks_.push_back(std::move(task));
        }
        wake_.notify_all();
        done.get();
    }
    bool onOwnerThread() const { return std::this_thread::get_id() == thread_.get_id(); }
    void record(const std::string& entry) {
        std::lock_guard lock(mutex_);
        log_.push_back(entry);
    }
    Log log(std::size_t from = 0) {
        std::lock_guard lock(mutex_);
        return Log(log_.begin() + static_cast<long>(from), log_.end());
    }

    void runOnOwnerThread(const std::function<void()>& task) override {
        execute([&] {
            record("task");
            task();
        });
    }
    void setEnabled(bool on) override {
        record(on ? busyMark("enable") : onOwnerThread() ? "disable" : "disable off owner thread");
    }
    void openProgress(int total) override { record("open " + std::to_string(total)); }
    void advanceProgress(const std::string& text) override { record("advance " + text); }
    void closeProgress() override { record(busyMark("close")); }
    void dropTopmost() override { record("dropTopmost"); }
    void statusChanged(int position) override { listChange("status " + std::to_string(position)); }
    void rearranged() override { listChange("removed"); }

    const ConversionJob* job = nullptr;

  private:
    std::string busyMark(const std::string& call) const {
        return job == nullptr || job->busy() ? call : call + " when idle";
    }
    void listChange(const std::string& entry) {
        record(onOwnerThread() ? entry : entry + " off owner thread");
    }
    void serve() {
        std::unique_lock lock(mutex_);
        for (;;) {
            wake_.wait(lock, [this] { return !tasks_.empty(); });
            std::packaged_task<void()> task = std::move(tasks_.front());
            tasks_.pop_front();
            if (!task.valid()) {
                return;
            }
            lock.unlock();
            task();
            lock.lock();
        }
    }

    std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<std::packaged_task<void()>> tasks_;
    Log log_;
    std::thread thread_;  // last: started once everything above exists
};

class ConversionJobTest : public ::testing::Test {
  protected:
    void SetUp() override {
        owner.job = &job;
        list.setObserver(&owner);
    }
    void addRows(int count) {
        for (int i = list.rowCount(), end = i + count; i < end; ++i) {
            list.addEntry("/base/r" + std::to_string(i) + ".bmp", "/base");
        }
    }
    // One run started on the owner's thread; returns what it logged. Like a
    // window, the test only watches busy and never joins: start() must.
    Log run(bool onlySelected) {
        const std::size_t before = owner.log().size();
        owner.execute([&] { job.start(onlySelected); });
        while (job.busy()) {
            std::this_thread::sleep_for(1ms);
        }
        return owner.log(before);
    }
    std::vector<std::string> column(int col) const {
        std::vector<std::string> cells;
        for (int i = 0; i < list.rowCount(); ++i) {
            cells.push_back(list.cellText(i, col));
        }
        return cells;
    }

    FileList list;
    Settings settings;
    FakeOwner owner;
    std::map<std::string, ConvertStatus> script;  // by relative path; others succeed
    std::shared_future<void> gate;                // when set, each conversion waits for it
    ConversionJob job{
        list, settings, owner, [this](const std::string& full, const std::string& rel) {
            EXPECT_EQ(full, "/base/" + rel);
            owner.record("process " + rel + (owner.onOwnerThread() ? " on owner thread" : ""));
            if (gate.valid()) {
                gate.wait();
            }
            const auto found = script.find(rel);
            return found == script.end() ? ConvertStatus::Success : found->second;
        }};
};

// The whole log of a run over the rows at `positions`, ending with `tail`.
Log expectedRun(const std::vector<int>& positions, const Log& tail) {
    const std::string total = std::to_string(positions.size());
    // One list read for the whole run, then one status set per entry.
    Log log{"disable", "open " + total, "task"};
    for (std::size_t k = 0; k < positions.size(); ++k) {
        const std::string p = std::to_string(positions[k]);
        log.insert(log.end(), {"process r" + p + ".bmp", "task", "status " + p,
                               "advance " + std::to_string(k + 1) + "/" + total});
    }
    log.insert(log.end(), tail.begin(), tail.end());
    return log;
}

TEST_F(ConversionJobTest, RunsInOrderSettingEachRowsStatus) {
    using S = ConvertStatus;
    const S all[] = {S::Success,           S::Skipped,     S::CopyFailed,
                     S::UnsupportedFormat, S::NotEightBit, S::WriteError};
    settings.DelSuccessItem = false;
    settings.TopMost = true;
    addRows(6);
    std::vector<std::string> expected;
    for (int i = 0; i < 6; ++i) {
        script["r" + std::to_string(i) + ".bmp"] = all[i];
        expected.push_back(statusText(all[i]));
    }
    EXPECT_EQ(run(false), expectedRun({0, 1, 2, 3, 4, 5}, {"close", "enable"}));
    EXPECT_EQ(column(kColumnStatus), expected);

    // Selected in reverse, run in list order; their new statuses replace the old.
    list.setSelected(3, true);
    list.setSelected(1, true);
    script["r1.bmp"] = S::WriteError;
    script["r3.bmp"] = S::Success;
    EXPECT_EQ(run(true), expectedRun({1, 3}, {"close", "enable"}));
    expected[1] = statusText(S::WriteError);
    expected[3] = statusText(S::Success);
    EXPECT_EQ(column(kColumnStatus), expected);

    // DelSuccessItem removes once, after the whole run, and takes the
    // successes of earlier runs too.
    settings.DelSuccessItem = true;
    list.setSelected(1, false);
    list.setSelected(3, false);
    list.setSelected(2, true);
    EXPECT_EQ(run(true), expectedRun({2}, {"task", "removed", "close", "enable"}));
    EXPECT_EQ(column(kColumnFullPath), (std::vector<std::string>{"/base/r1.bmp", "/base/r2.bmp",
                                                                 "/base/r4.bmp", "/base/r5.bmp"}));
}

TEST_F(ConversionJobTest, StartWhileBusyIsIgnored) {
    settings.DelSuccessItem = false;
    addRows(3);
    std::promise<void> release, checked;
    gate = release.get_future().share();
    owner.execute([&] { job.start(false); });
    while (owner.log().size() < 4) {  // until the worker is held in the first conversion
        std::this_thread::sleep_for(1ms);
    }
    const Log held{"disable", "open 3", "task", "process r0.bmp"};
    ASSERT_EQ(owner.log(), held);
    list.setSelected(2, true);  // so that start(true) would have a row
    // A start that got through would join the held worker: free it after a
    // while so that the test fails instead of hanging.
    std::thread opener([&, done = checked.get_future()] {
        done.wait_for(2s);
        release.set_value();
    });
    job.start(false);
    job.start(true);
    EXPECT_EQ(owner.log(), held);
    checked.set_value();
    opener.join();
    job.wait();
    EXPECT_EQ(owner.log(), expectedRun({0, 1, 2}, {"dropTopmost", "close", "enable"}));
}

// Without a processor the run is planned as the batch tool plans it: a.bmp
// would replace the listed a.png, which is re-encoded in place.
TEST_F(ConversionJobTest, AnOutputNeverReplacesAnotherListedSource) {
    test::TempDir dir;
    IndexedImage image;
    test::makeImage(image, 5, 3, 1);
    ASSERT_TRUE(writeBmp(dir.file("a.bmp"), image) && writePng(dir.file("a.png"), image, 6, 0xF8));
    const test::Bytes png = test::readFile(dir.file("a.png"));
    list.addEntry(dir.file("a.bmp"), dir.path());
    list.addEntry(dir.file("a.png"), dir.path());
    settings.SaveMode = 1;
    settings.DelSuccessItem = false;
    ConversionJob planned(list, settings, owner);
    owner.execute([&] { planned.start(false); });
    planned.wait();
    EXPECT_EQ(column(kColumnStatus), (std::vector<std::string>{statusText(ConvertStatus::TargetConflict),
                                                               statusText(ConvertStatus::Success)}));
    EXPECT_EQ(test::readFile(dir.file("a.png")), png);
}

TEST_F(ConversionJobTest, NothingToConvertTouchesNothing) {
    EXPECT_TRUE(run(false).empty());
    addRows(2);
    EXPECT_TRUE(run(true).empty());  // rows, but none selected
    EXPECT_EQ(column(kColumnStatus), std::vector<std::string>(2, std::string(kWaitingText)));
}

}  // namespace
}  // namespace kelvara
