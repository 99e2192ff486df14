#include <unistd.h>

#include <future>
#include <mutex>
#include <numeric>
#include <random>
#include <thread>

#include <gtest/gtest.h>

#include "batch/batch_options.h"
#include "batch/batch_schedule.h"
#include "conversion/conversion_job.h"
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
    const batch::EntryWork work = [&](std::size_t i) {
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
    batch::RunHooks hooks;
    hooks.onResult = [&](std::size_t i, S status) { delivered.push_back(status == S(i % 6) ? i : 9999); };
    EXPECT_EQ(batch::runEntries(graph, 4, work, hooks), 400u);
    EXPECT_EQ(delivered, all);
    EXPECT_TRUE(early == 0 && peak > 1 && peak <= 4) << early << " " << peak;
    // Once a stop is asked for, no entry starts (the other two workers may have
    // been starting); every one that ran is delivered.
    calls = 0;
    delivered.clear();
    hooks.stopRequested = [&] { return calls >= 10; };
    const std::size_t started = batch::runEntries(graphOf(std::vector<EntryAccess>(200)), 3, work, hooks);
    EXPECT_TRUE(started == std::size_t(calls) && started <= 12u) << started;
    EXPECT_EQ(delivered, std::vector<std::size_t>(all.begin(), all.begin() + started));
}

// Runs the tasks inline on the worker, as an owner may, and logs every call;
// enabling or closing once the job no longer counts as busy is marked.
struct FakeOwner final : JobOwner, FileListObserver {
    void runOnOwnerThread(const std::function<void()>& task) override { record("task"); task(); }
    void setEnabled(bool on) override { record(on ? idle("enable") : owner() ? "disable" : "disable late"); }
    void openProgress(int total) override { record("open " + std::to_string(total)); }
    void advanceProgress(const std::string& text) override { record("advance " + text); }
    void closeProgress() override { record(idle("close")); }
    void dropTopmost() override { record("dropTopmost"); }
    void statusChanged(int position) override { record("status " + std::to_string(position)); }
    void rearranged() override { record("removed"); }
    std::string idle(const std::string& call) const { return job->busy() ? call : call + " when idle"; }
    bool owner() const { return tester == std::this_thread::get_id(); }
    void record(const std::string& entry) { const std::lock_guard lock(mutex); log.push_back(entry); }
    Log take(bool clear = true) { const std::lock_guard lock(mutex); return clear ? std::exchange(log, {}) : log; }
    const ConversionJob* job = nullptr;
    std::thread::id tester = std::this_thread::get_id();
    std::mutex mutex;
    Log log;
};

// Selected in reverse, run in list order. While the worker is held in its first
// conversion, starts are ignored: one that got through would join the held
// worker, which is freed after a while so that the test fails instead of hanging.
// The successes, also earlier ones, go once the run is over.
TEST(ConversionJob, RunsInListOrderAndIgnoresAStartWhileBusy) {
    FileList list;
    const Settings settings;  // DelSuccessItem on, TopMost off
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
    while (owner.take(false).size() < 5) std::this_thread::sleep_for(1ms);
    std::thread opener([&, done = checked.get_future()] { done.wait_for(2s); release.set_value(); });
    job.start(false);
    job.start(true);
    checked.set_value();
    opener.join();
    while (job.busy()) std::this_thread::sleep_for(1ms);  // as a window does: start() must join
    EXPECT_EQ(owner.take(), (Log{"status 0", "disable", "open 2", "task", "process r1", "task", "status 1",
                                 "advance 1/2", "process r2", "task", "status 2", "advance 2/2", "task", "removed",
                                 "dropTopmost", "close", "enable"}));
    EXPECT_EQ(list.rowCount() == 1 ? list.cellText(0, 0) : "rows left", "r1");
}

}  // namespace
}  // namespace kelvara
