// FileList at the sizes a large dropped folder gives: adding, the two bulk
// removals and header-click sorts, each at 10,000 and 100,000 rows so that
// the 10x step in rows shows how the cost grows.

#include <benchmark/benchmark.h>

#include <algorithm>
#include <clocale>
#include <cstdio>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "filelist/file_list.h"

namespace {

using kelvara::ConvertStatus;
using kelvara::FileList;

const std::string kBase = "/home/user/photos";

// Paths like /home/user/photos/set017/sub3/img_012345.bmp, in a shuffled
// order so that a sort has real work to do.
std::vector<std::string> paths(std::size_t count) {
    std::vector<std::string> all;
    all.reserve(count);
    char name[96];
    for (std::size_t i = 0; i < count; ++i) {
        std::snprintf(name, sizeof name, "%s/set%03zu/sub%zu/img_%06zu.bmp", kBase.c_str(), i / 500,
                      (i / 100) % 5, i);
        all.emplace_back(name);
    }
    std::shuffle(all.begin(), all.end(), std::mt19937(42));
    return all;
}

std::unique_ptr<FileList> filledList(const std::vector<std::string>& rows) {
    auto list = std::make_unique<FileList>();
    for (const std::string& path : rows) {
        list->addEntry(path, kBase);
    }
    return list;
}

void BM_AddEntries(benchmark::State& state) {
    const std::vector<std::string> rows = paths(static_cast<std::size_t>(state.range(0)));
    for (auto _ : state) {
        FileList list;
        for (const std::string& path : rows) {
            list.addEntry(path, kBase);
        }
        benchmark::DoNotOptimize(list.rowCount());
        state.PauseTiming();  // tearing 100,000 rows down is not adding
        list.removeAll();
        state.ResumeTiming();
    }
    state.SetItemsProcessed(state.iterations() * state.range(0));
}

// Every other row succeeded (or is selected): the worst interleaving for a
// removal that erases row by row.
void BM_RemoveSucceeded(benchmark::State& state) {
    const std::vector<std::string> rows = paths(static_cast<std::size_t>(state.range(0)));
    for (auto _ : state) {
        state.PauseTiming();
        auto list = filledList(rows);
        for (int i = 0; i < list->rowCount(); ++i) {
            list->setStatus(i, i % 2 == 0 ? ConvertStatus::Success : ConvertStatus::Skipped);
        }
        state.ResumeTiming();
        list->removeSucceeded();
        state.PauseTiming();
        list.reset();
        state.ResumeTiming();
    }
    state.SetItemsProcessed(state.iterations() * state.range(0));
}

void BM_RemoveSelected(benchmark::State& state) {
    const std::vector<std::string> rows = paths(static_cast<std::size_t>(state.range(0)));
    for (auto _ : state) {
        state.PauseTiming();
        auto list = filledList(rows);
        for (int i = 0; i < list->rowCount(); i += 2) {
            list->selectRow(i);
        }
        state.ResumeTiming();
        list->removeSelected();
        state.PauseTiming();
        list.reset();
        state.ResumeTiming();
    }
    state.SetItemsProcessed(state.iterations() * state.range(0));
}

// One ascending click on a freshly filled (shuffled) list, under the named
// collation locale.
void BM_SortByColumn(benchmark::State& state, int column, const char* locale) {
    const std::string saved = std::setlocale(LC_COLLATE, nullptr);
    if (std::setlocale(LC_COLLATE, locale) == nullptr) {
        state.SkipWithError("collation locale not installed");
        return;
    }
    const std::vector<std::string> rows = paths(static_cast<std::size_t>(state.range(0)));
    for (auto _ : state) {
        state.PauseTiming();
        auto list = filledList(rows);
        for (int i = 0; i < list->rowCount(); ++i) {
            list->setStatus(i, static_cast<ConvertStatus>(i % 6));
        }
        state.ResumeTiming();
        benchmark::DoNotOptimize(list->sortByColumn(column));
        state.PauseTiming();
        list.reset();
        state.ResumeTiming();
    }
    std::setlocale(LC_COLLATE, saved.c_str());
    state.SetItemsProcessed(state.iterations() * state.range(0));
}

void sizes(benchmark::internal::Benchmark* b) {
    b->Arg(10000)->Arg(100000)->Unit(benchmark::kMillisecond);
}

// A million rows as well: 10,000 rows still fit in a core's cache, so the
// step from 100,000 to 1,000,000 is the one that shows the growth.
void removalSizes(benchmark::internal::Benchmark* b) {
    b->Arg(10000)->Arg(100000)->Arg(1000000)->Unit(benchmark::kMillisecond);
}

}  // namespace

BENCHMARK(BM_AddEntries)->Apply(sizes);
BENCHMARK(BM_RemoveSucceeded)->Apply(removalSizes);
BENCHMARK(BM_RemoveSelected)->Apply(removalSizes);
BENCHMARK_CAPTURE(BM_SortByColumn, relpath_C, kelvara::kColumnRelativePath, "C")->Apply(sizes);
BENCHMARK_CAPTURE(BM_SortByColumn, relpath_en_US, kelvara::kColumnRelativePath, "en_US.UTF-8")
    ->Apply(sizes);
BENCHMARK_CAPTURE(BM_SortByColumn, status_C, kelvara::kColumnStatus, "C")->Apply(sizes);
BENCHMARK_CAPTURE(BM_SortByColumn, status_en_US, kelvara::kColumnStatus, "en_US.UTF-8")
    ->Apply(sizes);

BENCHMARK_MAIN();
