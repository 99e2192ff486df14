#include <unistd.h>

#include <deque>
#include <future>
#include <mutex>
#include <numeric>
#include <random>
#include <thread>

#include <gtest/gtest.h>

#include "batch/batch_options.h"
#include "run/worker_pool.h"
#include "run/conversion_job.h"
#include "support/support.h"

namespace kelvara {
namespace {

using namespace std::chrono_literals;
using Edges = std::vector<std::vector<std::uint32_t>>;
using Log = std::vector<std::string>;
using S = ConvertStatus;

DependencyGraph graphOf(const std::vector<EntryAccess>& accesses) {
    DependencyBuilder builder;
    for (const EntryAccess& a : accesses) builder.add(a);
    return builder.take();
}

Edges edgesOf(const DependencyGraph& graph) {
    Edges edges;
    for (std::size_t i = 0; i < graph.size(); ++i) edges.emplace_back(graph.of(i).begin(), graph.of(i).end());
    return edges;
}

TEST(RunPlan, OrdersEntriesSharingAFileUnderAnyOfItsSpellings) {
    // 0 reads s, writes t; 1 writes t; 2 reads t; 3 reads s; 4 writes s; 5 rewrites u in
    // place; 6 is unrelated. A later writer waits for the last one only; a skipped
    // entry touches nothing.
    EXPECT_EQ(edgesOf(graphOf({{{"s"}, {"t"}}, {{"q"}, {"t"}}, {{"t"}, {"v"}}, {{"s"}, {"w"}},
                               {{"r"}, {"s"}}, {{"u"}, {"u"}}, {{"x"}, {"y"}}})),
              (Edges{{}, {0}, {1}, {}, {0, 3}, {}, {}}));
    EXPECT_EQ(edgesOf(graphOf({{{"t"}, {}}, {{}, {"t"}}, {{}, {"t"}}})), (Edges{{}, {0}, {1}}));
    EXPECT_EQ(edgesOf(graphOf({{{"a"}, {"b"}}, {}, {{"b"}, {}}})), (Edges{{}, {}, {0}}));

    test::TempDir tmp;
    const std::string d = tmp.file("d");
    test::writeFile(d + "/a.bmp", "x");
    ::symlink(d.c_str(), tmp.file("link").c_str());
    PathCanonicalizer paths;
    const std::string real = paths.canonicalFolder(d);
    Log missing;
    EXPECT_EQ(paths.canonical(tmp.file("link/./a.bmp")) + paths.canonical(tmp.path() + "//d/a.bmp") +
                  paths.canonical(tmp.file("link/new/../sub/deeper/b.png"), &missing),
              real + "/a.bmp" + real + "/a.bmp" + real + "/sub/deeper/b.png");
    EXPECT_EQ(missing, (Log{real + "/sub", real + "/sub/deeper"}));
    // A file copied to where another output needs a folder not there yet: the
    // output waits for it. (Conflicts show end to end through kelvara-batch.)
    Settings s;
    std::tie(s.SaveMode, s.SaveDirFlag, s.UnKnownFlag, s.SaveDir) = std::tuple(1, 1, 1, tmp.file("out"));
    const std::vector<RunEntry> entries{{d + "/sub", "sub"}, {d + "/a.bmp", "sub/a.bmp"}, {d + "/c.bmp", "c.bmp"}};
    EXPECT_EQ(edgesOf(RunPlan(entries, s).graph()), (Edges{{}, {0}, {}}));
    EXPECT_EQ(batch::splitPathList(std::string("a\0\0b c\0", 6), '\0'), (Log{"a", "b c"}));
    EXPECT_EQ(batch::withoutTrailingSlashes("/"), "/");  // never the whole file system by accident
}

TEST(RunEntries, HonoursDependenciesDeliversInOrderBoundsWorkersAndStops) {
    std::mt19937 random(7);
    std::vector<EntryAccess> accesses(400);
    for (EntryAccess& a : accesses) a = {{std::to_string(random() % 60)}, {std::to_string(random() % 60)}};
    const DependencyGraph graph = graphOf(accesses);
    std::vector<std::atomic<bool>> done(400);
    std::atomic<int> inFlight{0}, peak{0}, calls{0}, early{0};
    const EntryWork work = [&](std::size_t i) {
        for (const std::uint32_t d : graph.of(i)) early += !done[d];  // started before what it waits for ended
        const int now = ++inFlight;
        for (int seen = peak; now > seen && !peak.compare_exchange_weak(seen, now);) continue;
        ++calls;
        ::usleep(static_cast<useconds_t>(50 + i % 7 * 40));
        done[i] = true;
        --inFlight;
        return static_cast<S>(i % 6);
    };
    std::vector<std::size_t> delivered, all(400);
    std::iota(all.begin(), all.end(), 0);
    RunHooks hooks;
    hooks.onResult = [&](std::size_t i, S status) { delivered.push_back(status == S(i % 6) ? i : 9999); };
    EXPECT_EQ(runEntries(graph, 4, work, hooks), 400u);
    EXPECT_EQ(delivered, all);
    EXPECT_TRUE(early == 0 && peak > 1 && peak <= 4) << early << " " << peak;
    // Once a stop is asked for, no entry starts (other workers may have been
    // starting); every one that ran is delivered. One worker runs inline.
    for (const unsigned jobs : {1u, 3u}) {
        calls = 0;
        delivered.clear();
        hooks.stopRequested = [&] { return calls >= 10; };
        const std::size_t started = runEntries(graphOf(std::vector<EntryAccess>(200)), jobs, work, hooks);
        EXPECT_TRUE(started == std::size_t(calls) && started <= 9u + jobs) << started;
        EXPECT_EQ(delivered, std::vector<std::size_t>(all.begin(), all.begin() + started));
    }
}

// Queues what a run posts until the test, as the window's thread, carries it
// out; logs every call. Enabling or closing once the job no longer counts as
// busy is marked.
struct FakeOwner final : JobOwner, FileListObserver {
    void post(std::function<void()> task) override { const std::lock_guard lock(mutex); tasks.push_back(std::move(task)); }
    void setEnabled(bool on) override { record(on ? idle("enable") : "disable"); }
    void openProgress(int total) override { record("open " + std::to_string(total)); }
    void advanceProgress(const std::string& text) override { record("advance " + text); }
    void closeProgress() override { record(idle("close")); }
    void dropTopmost() override { record("dropTopmost"); }
    void statusChanged(int position) override { record("status " + std::to_string(position)); }
    void rearranged() override { record("removed"); }
    std::string idle(const std::string& call) const { return job->busy() ? call : call + " when idle"; }
    void record(const std::string& entry) { const std::lock_guard lock(mutex); log.push_back(entry); }
    Log take() { const std::lock_guard lock(mutex); return std::exchange(log, {}); }
    void drain() {
        for (;;) {
            std::function<void()> task;
            {
                const std::lock_guard lock(mutex);
                if (tasks.empty()) return;
                task = std::move(tasks.front());
                tasks.pop_front();
            }
            task();
        }
    }
    const ConversionJob* job = nullptr;
    std::mutex mutex;
    std::deque<std::function<void()>> tasks;
    Log log;
};

// Selected in reverse, run in list order. While the run is held in its first
// conversion, starts are ignored: one that got through would join the held
// run, which is freed after a while so that the test fails instead of hanging.
// The run ends without the owner's thread ever serving it; what it posted
// then sets the statuses in order, and the successes, also earlier ones, go.
TEST(ConversionJob, RunsInListOrderAndIgnoresAStartWhileBusy) {
    FileList list;
    Settings settings;  // DelSuccessItem on, TopMost off
    settings.Jobs = 1;
    FakeOwner owner;
    std::promise<void> release, checked;
    const std::shared_future<void> gate = release.get_future().share();
    ConversionJob job(list, settings, owner, [&](const std::string& full, const std::string& rel) {
        owner.record(full == "/base/" + rel ? "process " + rel : "wrong paths");
        gate.wait();
        return rel == "r1" ? S::WriteError : S::Success;
    });
    owner.job = &job;
    list.setObserver(&owner);
    job.start(false);  // no rows
    for (const char* name : {"r0", "r1", "r2"}) list.addEntry("/base/" + std::string(name), "/base");
    job.start(true);  // rows, but none selected
    list.setStatus(0, S::Success);
    list.setSelected(2, true);
    list.setSelected(1, true);
    job.start(true);
    for (Log seen; seen.empty() || seen.back() != "process r1"; std::this_thread::sleep_for(1ms)) {
        const Log more = owner.take();
        seen.insert(seen.end(), more.begin(), more.end());
    }
    std::thread opener([&, done = checked.get_future()] { done.wait_for(2s); release.set_value(); });
    job.start(false);
    job.start(true);
    checked.set_value();
    opener.join();
    job.wait();
    EXPECT_EQ(owner.take(), (Log{"process r2"}));
    owner.drain();
    EXPECT_FALSE(job.busy());
    EXPECT_EQ(owner.take(), (Log{"status 1", "advance 1/2", "status 2", "advance 2/2", "removed", "dropTopmost",
                                 "close", "enable"}));
    EXPECT_EQ(list.rowCount() == 1 ? list.cellText(0, 0) : "rows left", "r1");
}

// Cancelled while two workers hold the first two of six rows: nothing else
// starts, the two finish and are reported, the other rows keep their status.
TEST(ConversionJob, CancelStartsNothingMoreAndLetsRunningEntriesFinish) {
    FileList list;
    Settings settings;
    settings.Jobs = 2;
    settings.DelSuccessItem = false;
    FakeOwner owner;
    std::promise<void> release;
    const std::shared_future<void> gate = release.get_future().share();
    std::atomic<int> running{0};
    ConversionJob job(list, settings, owner, [&](const std::string&, const std::string& rel) {
        owner.record("process " + rel);
        ++running;
        gate.wait();
        return S::Success;
    });
    owner.job = &job;
    for (int i = 0; i < 6; ++i) list.addEntry("/base/r" + std::to_string(i), "/base");
    list.setStatus(5, S::Skipped);
    job.start(false);
    while (running < 2) std::this_thread::sleep_for(1ms);
    job.cancel();
    release.set_value();
    job.wait();
    owner.drain();
    Log log = owner.take();
    std::sort(log.begin() + 2, log.begin() + 4);  // the two workers' order
    EXPECT_EQ(log, (Log{"disable", "open 6", "process r0", "process r1", "advance 1/6", "advance 2/6", "dropTopmost",
                        "close", "enable"}));
    EXPECT_EQ(std::vector<std::optional<S>>({list.row(0).result, list.row(1).result, list.row(2).result,
                                              list.row(5).result}),
              (std::vector<std::optional<S>>{S::Success, S::Success, std::nullopt, S::Skipped}));
}

}  // namespace
}  // namespace kelvara
