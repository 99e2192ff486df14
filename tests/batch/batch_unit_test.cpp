#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <mutex>
#include <numeric>
#include <random>

#include "batch/batch_options.h"
#include "batch/batch_report.h"
#include "batch/batch_schedule.h"
#include "support/test_support.h"

namespace kelvara::batch {
namespace {

using Edges = std::vector<std::vector<std::uint32_t>>;

Edges edgesOf(const DependencyGraph& graph) {
    Edges edges;
    for (std::size_t i = 0; i < graph.size(); ++i) {
        edges.emplace_back(graph.of(i).begin(), graph.of(i).end());
    }
    return edges;
}

Edges build(const std::vector<EntryAccess>& accesses) {
    DependencyBuilder builder;
    for (const EntryAccess& a : accesses) {
        builder.add(a);
    }
    return edgesOf(builder.take());
}

TEST(BatchReport, StatusWordsFailuresAndEscapedLines) {
    const std::vector<std::string> words = {
        "success", "skipped", "copy-failed", "unsupported-format", "not-8-bit", "write-error"};
    for (int i = 0; i < 6; ++i) {
        const auto status = static_cast<ConvertStatus>(i);
        EXPECT_EQ(statusName(status), words[static_cast<std::size_t>(i)]);
        EXPECT_EQ(isFailure(status), i >= 2) << i;
    }
    EXPECT_EQ(statusName(static_cast<ConvertStatus>(6)), "");
    EXPECT_EQ(planName(OutputAction::ConvertImage), "convert");
    EXPECT_EQ(planName(OutputAction::CopyUnchanged), "copy");
    EXPECT_EQ(planName(OutputAction::SkipEntry), "skip");

    std::string line;
    appendLine(line, "success", "/a\tb\\c\nd\xff.bmp", "");
    EXPECT_EQ(line, "success\t/a\\tb\\\\c\\nd\xff.bmp\t\n");
}

TEST(BatchOptions, PathListsAndOverrides) {
    EXPECT_EQ(splitPathList("a\n\nb c\n", '\n'), (std::vector<std::string>{"a", "b c"}));
    EXPECT_EQ(splitPathList(std::string("x\ny\0z", 5), '\0'),
              (std::vector<std::string>{"x\ny", "z"}));
    EXPECT_EQ(withoutTrailingSlashes("pics//"), "pics");
    EXPECT_EQ(withoutTrailingSlashes("/"), "/");

    const char* argv[] = {"kelvara-batch", "--to",     "XYZ",  "--out",        "o/",
                          "--flat",        "--others", "copy", "--png-filter", "paeth",
                          "--png-level",   "3",        "x"};
    const ParsedCommandLine parsed = parseCommandLine(13, argv, "/w");
    ASSERT_EQ(parsed.action, CommandAction::Run) << parsed.text;
    Settings s;
    s.SaveDir = "kept?";
    s.XyzCompLv = 4;
    applyOverrides(parsed.options, s);
    EXPECT_EQ(s.SaveMode, 2);
    EXPECT_EQ(s.SaveDirFlag, 1);
    EXPECT_EQ(s.SaveDir, "/w/o");
    EXPECT_FALSE(s.ReproduceDir);
    EXPECT_EQ(s.UnKnownFlag, 1);
    EXPECT_EQ(s.Filter, 4);
    EXPECT_EQ(s.PngCompLv, 3);
    EXPECT_EQ(s.XyzCompLv, 4);  // not given: the file's value stays
}

TEST(BatchDependencies, WaitsForWritersAndReadersOfTheSamePath) {
    // 0 reads s, writes t; 1 writes t; 2 reads t; 3 reads s; 4 writes s;
    // 5 reads and rewrites u; 6 is unrelated.
    const Edges edges = build({{{"s"}, {"t"}},
                               {{"q"}, {"t"}},
                               {{"t"}, {"v"}},
                               {{"s"}, {"w"}},
                               {{"r"}, {"s"}},
                               {{"u"}, {"u"}},
                               {{"x"}, {"y"}}});
    EXPECT_EQ(edges, (Edges{{}, {0}, {1}, {}, {0, 3}, {}, {}}));
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
    EXPECT_EQ(missing, (std::vector<std::string>{paths.canonical(d) + "/sub"}));

    // Beside, to XYZ: a.bmp and the linked alias both read a.bmp; alias.xyz
    // is new; the third entry writes the a.xyz the first one made.
    Settings s;
    s.SaveMode = 2;
    const auto entry = [&](const std::string& full) {
        return entryAccess(full, resolveOutput(full, "x", s), paths);
    };
    const Edges edges =
        build({entry(d + "/a.bmp"), entry(d + "/alias.bmp"), entry(tmp.file("link/a.png")),
               entry(tmp.file("link/a.xyz")), entry(d + "/notes.txt")});
    EXPECT_EQ(edges, (Edges{{}, {}, {0}, {2}, {}}));

    // A file written where another output needs a folder that is not there yet.
    s.SaveMode = 1;
    s.SaveDirFlag = 1;
    s.UnKnownFlag = 1;
    s.SaveDir = tmp.file("out");
    EXPECT_EQ(build({entryAccess(d + "/sub", resolveOutput(d + "/sub", "sub", s), paths),
                     entryAccess(d + "/a.bmp", resolveOutput(d + "/a.bmp", "sub/a.bmp", s), paths),
                     entryAccess(d + "/c.bmp", resolveOutput(d + "/c.bmp", "c.bmp", s), paths)}),
              (Edges{{}, {0}, {}}));
}

TEST(BatchRunner, HonoursDependenciesDeliversInOrderAndBoundsWorkers) {
    constexpr std::size_t kCount = 400;
    std::mt19937 random(7);
    std::vector<EntryAccess> accesses(kCount);
    for (std::size_t i = 0; i < kCount; ++i) {
        accesses[i].reads = {std::to_string(random() % 60)};
        accesses[i].writes = {std::to_string(random() % 60)};
    }
    DependencyBuilder builder;
    for (const EntryAccess& a : accesses) {
        builder.add(a);
    }
    const DependencyGraph graph = builder.take();

    std::vector<std::atomic<int>> startedAt(kCount), finishedAt(kCount);
    std::atomic<int> clock{0}, inFlight{0}, maxInFlight{0};
    const EntryWork work = [&](std::size_t i) {
        const int now = ++inFlight;
        for (int seen = maxInFlight; now > seen && !maxInFlight.compare_exchange_weak(seen, now);) {
        }
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
}

TEST(BatchRunner, StartsNothingAfterAStop) {
    DependencyBuilder builder;
    for (int i = 0; i < 200; ++i) {
        builder.add({{std::to_string(i)}, {"out" + std::to_string(i)}});
    }
    const DependencyGraph graph = builder.take();
    std::atomic<bool> stop{false};
    std::atomic<int> calls{0};
    std::mutex mutex;
    std::vector<std::size_t> ran, delivered;
    const EntryWork work = [&](std::size_t i) {
        if (++calls == 10) {
            stop = true;
        }
        ::usleep(300);
        std::lock_guard lock(mutex);
        ran.push_back(i);
        return ConvertStatus::Success;
    };
    RunHooks hooks;
    hooks.stopRequested = [&] { return stop.load(); };
    hooks.onResult = [&](std::size_t i, ConvertStatus) { delivered.push_back(i); };
    const std::size_t started = runEntries(graph, 3, work, hooks);

    EXPECT_EQ(started, static_cast<std::size_t>(calls.load()));
    EXPECT_LE(started, 10u + 2u);  // at most the other two workers were already starting
    std::sort(ran.begin(), ran.end());
    EXPECT_EQ(delivered, ran);
}

}  // namespace
}  // namespace kelvara::batch
