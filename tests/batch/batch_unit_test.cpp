#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <mutex>
#include <numeric>
#include <random>

#include "batch/batch_options.h"
#include "batch/batch_schedule.h"
#include "support/test_support.h"

namespace kelvara::batch {
namespace {

using Edges = std::vector<std::vector<std::uint32_t>>;

DependencyGraph graphOf(const std::vector<EntryAccess>& accesses) {
    DependencyBuilder builder;
    for (const EntryAccess& a : accesses) {
        builder.add(a);
    }
    return builder.take();
}

Edges build(const std::vector<EntryAccess>& accesses) {
    const DependencyGraph graph = graphOf(accesses);
    Edges edges;
    for (std::size_t i = 0; i < graph.size(); ++i) {
        edges.emplace_back(graph.of(i).begin(), graph.of(i).end());
    }
    return edges;
}

// Cases the command line cannot reach: empty pieces are passed over anyway,
// and gathering "/" would walk the whole file system.
TEST(BatchOptions, PathListsDropEmptyPiecesAndTrailingSlashesButNotTheRoot) {
    EXPECT_EQ(splitPathList(std::string("a\0\0b c\0", 6), '\0'),
              (std::vector<std::string>{"a", "b c"}));
    EXPECT_EQ(withoutTrailingSlashes("pics//"), "pics");
    EXPECT_EQ(withoutTrailingSlashes("/"), "/");
}

TEST(BatchDependencies, WaitsForWritersAndReadersOfTheSamePath) {
    // 0 reads s, writes t; 1 writes t; 2 reads t; 3 reads s; 4 writes s;
    // 5 reads and rewrites u; 6 is unrelated.
    EXPECT_EQ(build({{{"s"}, {"t"}},
                     {{"q"}, {"t"}},
                     {{"t"}, {"v"}},
                     {{"s"}, {"w"}},
                     {{"r"}, {"s"}},
                     {{"u"}, {"u"}},
                     {{"x"}, {"y"}}}),
              (Edges{{}, {0}, {1}, {}, {0, 3}, {}, {}}));
    // A later writer waits for the last one only; it waited for the rest.
    EXPECT_EQ(build({{{}, {"t"}}, {{}, {"t"}}, {{}, {"t"}}}), (Edges{{}, {0}, {1}}));
    // Skipped entries touch nothing.
    EXPECT_EQ(build({{{"a"}, {"b"}}, {}, {{"b"}, {}}}), (Edges{{}, {}, {0}}));
}

TEST(BatchDependencies, SpellingsOfOneFileMeet) {
    test::TempDir tmp;
    const std::string d = tmp.file("d");
    ASSERT_EQ(::mkdir(d.c_str(), 0777), 0);
    ASSERT_EQ(::symlink(d.c_str(), tmp.file("link").c_str()), 0);
    test::writeFile(d + "/a.bmp", std::string("x"));
    ASSERT_EQ(::symlink("a.bmp", (d + "/alias.bmp").c_str()), 0);
    PathCanonicalizer paths;
    const std::string real = paths.canonical(d + "/a.bmp");
    EXPECT_EQ(paths.canonical(tmp.file("link/./a.bmp")), real);
    EXPECT_EQ(paths.canonical(tmp.path() + "//d/a.bmp"), real);
    std::vector<std::string> missing;
    EXPECT_EQ(paths.canonical(tmp.file("link/new/../sub/b.png"), &missing),
              paths.canonical(d) + "/sub/b.png");
    EXPECT_EQ(missing, std::vector<std::string>{paths.canonical(d) + "/sub"});

    // Planned as a whole: an output over another entry's source or over an
    // earlier output is a conflict and waits for nothing.
    Settings s;
    const auto plan = [&](std::vector<RunEntry> entries) {
        const RunPlan p(entries, s);
        std::pair<Edges, std::vector<bool>> result;
        for (std::size_t i = 0; i < p.size(); ++i) {
            result.first.emplace_back(p.graph().of(i).begin(), p.graph().of(i).end());
            result.second.push_back(p[i].conflict);
        }
        return result;
    };
    // Beside, to XYZ: the linked alias reads a.bmp; a.bmp and a.png would
    // both replace the listed a.xyz, which is rewritten in place.
    s.SaveMode = 2;
    EXPECT_EQ(plan({{d + "/a.bmp", "x"}, {d + "/alias.bmp", "x"}, {tmp.file("link/a.png"), "x"},
                    {tmp.file("link/a.xyz"), "x"}, {d + "/notes.txt", "x"}}),
              std::pair(Edges{{}, {}, {}, {}, {}},
                        std::vector<bool>{true, false, true, false, false}));
    // A file copied to where another output needs a folder that is not there yet.
    s.SaveMode = 1;
    s.SaveDirFlag = s.UnKnownFlag = 1;
    s.SaveDir = tmp.file("out");
    EXPECT_EQ(plan({{d + "/sub", "sub"}, {d + "/a.bmp", "sub/a.bmp"}, {d + "/c.bmp", "c.bmp"}}),
              std::pair(Edges{{}, {0}, {}}, std::vector<bool>{false, false, false}));
}

TEST(BatchRunner, HonoursDependenciesDeliversInOrderBoundsWorkersAndStops) {
    constexpr std::size_t kCount = 400;
    std::mt19937 random(7);
    std::vector<EntryAccess> accesses(kCount);
    for (EntryAccess& a : accesses) {
        a = {{std::to_string(random() % 60)}, {std::to_string(random() % 60)}};
    }
    const DependencyGraph graph = graphOf(accesses);
    std::vector<std::atomic<int>> startedAt(kCount), finishedAt(kCount);
    std::atomic<int> clock{0}, inFlight{0}, maxInFlight{0}, calls{0};
    const EntryWork work = [&](std::size_t i) {
        const int now = ++inFlight;
        for (int seen = maxInFlight; now > seen && !maxInFlight.compare_exchange_weak(seen, now);) {
        }
        ++calls;
        startedAt[i] = ++clock;
        ::usleep(static_cast<useconds_t>(50 + i % 7 * 40));
        finishedAt[i] = ++clock;
        --inFlight;
        return static_cast<ConvertStatus>(i % 6);
    };
    std::vector<std::size_t> delivered;
    RunHooks hooks;
    hooks.onResult = [&](std::size_t i, ConvertStatus s) {
        EXPECT_EQ(s, static_cast<ConvertStatus>(i % 6));
        delivered.push_back(i);
    };
    EXPECT_EQ(runEntries(graph, 4, work, hooks), kCount);
    std::vector<std::size_t> all(kCount);
    std::iota(all.begin(), all.end(), 0);
    EXPECT_EQ(delivered, all);
    EXPECT_LE(maxInFlight.load(), 4);
    EXPECT_GT(maxInFlight.load(), 1);
    for (std::size_t i = 0; i < kCount; ++i) {
        for (const std::uint32_t d : graph.of(i)) {
            ASSERT_LT(finishedAt[d].load(), startedAt[i].load()) << d << " before " << i;
        }
    }

    // Once a stop is asked for, no entry starts; every one that ran is delivered.
    calls = 0;
    delivered.clear();
    hooks.stopRequested = [&] { return calls >= 10; };
    const std::size_t started = runEntries(graphOf(std::vector<EntryAccess>(200)), 3, work, hooks);
    EXPECT_EQ(started, static_cast<std::size_t>(calls.load()));
    EXPECT_LE(started, 10u + 2u);  // at most the other two workers were already starting
    EXPECT_EQ(delivered,
              std::vector<std::size_t>(all.begin(), all.begin() + started));  // lowest first
}

}  // namespace
}  // namespace kelvara::batch
