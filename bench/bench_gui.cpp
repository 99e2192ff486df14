// The main window with a list of 100,000 rows, on Qt's offscreen platform:
//   - adding the rows with the model attached (what gathering a large folder
//     does while the window is open), then serving events until the view
//     has caught up;
//   - a header click that sorts them, through the header's signal, with a
//     selected row that the window scrolls to;
//   - 100,000 status updates from a worker thread through the window's
//     QtJobOwner (one blocking queued call each), and a whole conversion run
//     whose processor returns at once, so only the list, the view, the
//     progress window and the thread hand-offs are left to measure; once
//     more without the progress window, to tell its share.
// Each has a baseline without a window, so the ratio is what the window adds.
// Last, real work through the real window: 200 pictures of 640x480 converted
// to PNG at one worker and at two; the two must give the same statuses and
// the same files.

#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <clocale>
#include <cstdio>
#include <functional>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "bench_util.h"

#include <QApplication>
#include <QEventLoop>
#include <QHeaderView>
#include <QMetaObject>
#include <QTimer>

#include "codecs/codec_table.h"
#include "desktop/command_ids.h"
#include "run/conversion_job.h"
#include "filelist/file_list.h"
#include "settings/settings.h"
#include "desktop/file_list_view.h"
#include "desktop/main_window.h"
#include "desktop/shell_services.h"

namespace {

using namespace kelvara;

constexpr int kRows = 100000;

struct Row {
    std::string fullPath;
    std::string base;
};

// Two independent orders: relative paths follow i, base folders a scrambled
// i (64 of them), and rows come in shuffled, so that a click on either
// column has real work to do.
const std::vector<Row>& rows() {
    static const std::vector<Row> all = [] {
        std::vector<Row> made;
        made.reserve(kRows);
        char base[64];
        char full[160];
        for (int i = 0; i < kRows; ++i) {
            std::snprintf(base, sizeof base, "/data/volume%02u/photos",
                          (static_cast<unsigned>(i) * 2654435761u >> 7) % 64);
            std::snprintf(full, sizeof full, "%s/set%03d/sub%d/img_%06d.bmp", base, i / 500,
                          (i / 100) % 5, i);
            made.push_back({full, base});
        }
        std::shuffle(made.begin(), made.end(), std::mt19937(42));
        return made;
    }();
    return all;
}

void fill(FileList& list) {
    for (const Row& row : rows()) {
        list.addEntry(row.fullPath, row.base);
    }
}

// Serves what the last change posted: layouts, repaints, the backing store.
void settle() {
    QCoreApplication::sendPostedEvents();
    QCoreApplication::processEvents(QEventLoop::AllEvents);
}

class NoDialogs final : public ShellServices {
  public:
    std::optional<std::vector<std::string>> chooseFiles(QWidget*, const std::string&) override {
        return std::nullopt;
    }
    bool editSettings(QWidget*, const QString&, Settings&) override { return false; }
    std::optional<std::string> chooseFolder(QWidget*, const std::string&) override {
        return std::nullopt;
    }
    void showVersion(QWidget*, const QString&, const QString&) override {}
    void showMessage(QWidget*, const QString&, const QString&) override {}
    bool openUrl(const QUrl&) override { return false; }
    bool showInFolder(const std::string&) override { return false; }
};

// The program's window, shown, over its own list; the rows are added before
// the window exists when `filled`, so that building them is not measured.
struct Window {
    explicit Window(bool filled) {
        settings.DelSuccessItem = false;  // the statuses stay, as in a view of the results
        if (filled) {
            fill(list);
        }
        window = std::make_unique<MainWindow>(list, settings, services, "/nonexistent");
        window->showAtStoredPlace();
        settle();
    }
    ~Window() {
        window->close();
        window.reset();
        settle();
    }

    FileList list;
    Settings settings;
    NoDialogs services;
    std::unique_ptr<MainWindow> window;
};

void BM_AddRows_NoWindow(benchmark::State& state) {
    rows();
    for (auto _ : state) {
        FileList list;
        fill(list);
        benchmark::DoNotOptimize(list.rowCount());
        state.PauseTiming();
        list.removeAll();
        state.ResumeTiming();
    }
    state.SetItemsProcessed(state.iterations() * kRows);
}

void BM_AddRows_Window(benchmark::State& state) {
    rows();
    for (auto _ : state) {
        state.PauseTiming();
        auto w = std::make_unique<Window>(false);
        state.ResumeTiming();
        fill(w->list);
        settle();
        state.PauseTiming();
        if (w->window->model().rowCount() != kRows) {
            state.SkipWithError("the model does not show every row");
        }
        w.reset();
        state.ResumeTiming();
    }
    state.SetItemsProcessed(state.iterations() * kRows);
}

void BM_Sort_NoWindow(benchmark::State& state) {
    const int column = static_cast<int>(state.range(0));
    for (auto _ : state) {
        state.PauseTiming();
        auto list = std::make_unique<FileList>();
        fill(*list);
        list->selectRow(kRows / 2);
        state.ResumeTiming();
        list->sortByColumn(column);
        state.PauseTiming();
        list.reset();
        state.ResumeTiming();
    }
    state.SetItemsProcessed(state.iterations() * kRows);
}

// The click as the header reports it, so that the window's own slot (read
// the view's selection, sort, scroll to the first selected row) runs.
void BM_Sort_HeaderClick(benchmark::State& state) {
    const int column = static_cast<int>(state.range(0));
    for (auto _ : state) {
        state.PauseTiming();
        auto w = std::make_unique<Window>(true);
        w->list.selectRow(kRows / 2);
        settle();
        state.ResumeTiming();
        emit w->window->listView()->horizontalHeader()->sectionClicked(column);
        settle();
        state.PauseTiming();
        if (w->list.sortColumn() != column) {
            state.SkipWithError("the click did not sort");
        }
        w.reset();
        state.ResumeTiming();
    }
    state.SetItemsProcessed(state.iterations() * kRows);
}

// 100,000 queued calls from a worker, each setting one row's status on the
// GUI thread while its event loop runs.
void BM_StatusUpdates_Bridge(benchmark::State& state) {
    for (auto _ : state) {
        state.PauseTiming();
        auto w = std::make_unique<Window>(true);
        QtJobOwner& owner = w->window->jobOwner();
        FileList& list = w->list;
        QEventLoop loop;
        state.ResumeTiming();
        std::thread worker([&] {
            for (int position = 0; position < kRows; ++position) {
                owner.post([&list, position] { list.setStatus(position, ConvertStatus::Success); });
            }
            owner.post([&loop] { loop.quit(); });
        });
        loop.exec();
        worker.join();
        settle();
        state.PauseTiming();
        if (list.row(kRows - 1).result != ConvertStatus::Success) {
            state.SkipWithError("a status did not arrive");
        }
        w.reset();
        state.ResumeTiming();
    }
    state.SetItemsProcessed(state.iterations() * kRows);
}

ConvertStatus instantSuccess(const std::string&, const std::string&) {
    return ConvertStatus::Success;
}

// Carries out every task at once where it is posted: the job's own cost,
// with no window and no thread hand-off.
class InlineOwner final : public JobOwner {
  public:
    void post(std::function<void()> task) override { task(); }
    void setEnabled(bool) override {}
    void openProgress(int) override {}
    void advanceProgress(const std::string& text) override { benchmark::DoNotOptimize(text); }
    void closeProgress() override {}
    void dropTopmost() override {}
};

void BM_ConversionRun_NoWindow(benchmark::State& state) {
    for (auto _ : state) {
        state.PauseTiming();
        auto list = std::make_unique<FileList>();
        fill(*list);
        Settings settings;
        settings.DelSuccessItem = false;
        InlineOwner owner;
        ConversionJob job(*list, settings, owner, instantSuccess);
        state.ResumeTiming();
        job.start(false);
        job.wait();
        state.PauseTiming();
        list.reset();
        state.ResumeTiming();
    }
    state.SetItemsProcessed(state.iterations() * kRows);
}

// Forwards to the window's owner, but without the progress window: each
// row's status still goes through the GUI thread's queue, so the difference
// to the full run is what showing the progress costs.
class NoProgressOwner final : public JobOwner {
  public:
    explicit NoProgressOwner(JobOwner& window) : window_(window) {}
    void post(std::function<void()> task) override { window_.post(std::move(task)); }
    void setEnabled(bool enabled) override { window_.setEnabled(enabled); }
    void openProgress(int) override {}
    void advanceProgress(const std::string&) override {}
    void closeProgress() override {}
    void dropTopmost() override { window_.dropTopmost(); }

  private:
    JobOwner& window_;
};

// The whole run as the window lives it: disabled window, progress window
// opened, advanced 100,000 times and closed, each row's path read and its
// status set on the GUI thread. Argument 0 leaves the progress window out.
void BM_ConversionRun_Window(benchmark::State& state) {
    const bool withProgress = state.range(0) != 0;
    for (auto _ : state) {
        state.PauseTiming();
        auto w = std::make_unique<Window>(true);
        NoProgressOwner noProgress(w->window->jobOwner());
        JobOwner& owner = withProgress ? static_cast<JobOwner&>(w->window->jobOwner()) : noProgress;
        auto job = std::make_unique<ConversionJob>(w->list, w->settings, owner, instantSuccess);
        // The worker's last step (busy cleared) posts nothing; the tick
        // bounds how long the loop below may sleep past it.
        QTimer tick;
        tick.start(1);
        state.ResumeTiming();
        job->start(false);
        while (job->busy()) {
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
        }
        job->wait();
        settle();
        state.PauseTiming();
        tick.stop();
        if (job->done() != kRows || w->list.row(kRows - 1).result != ConvertStatus::Success) {
            state.SkipWithError("the run did not reach every row");
        }
        job.reset();
        w.reset();
        state.ResumeTiming();
    }
    state.SetItemsProcessed(state.iterations() * kRows);
}

// 200 palette pictures of 640x480: smooth shapes with a little noise, as
// drawn art compresses.
const std::string& pictureFolder() {
    static const std::string folder = [] {
        std::string path = kelvara::bench::benchDir() + "/gui-200";
        std::filesystem::create_directories(path);
        IndexedImage image;
        for (int n = 0; n < 200; ++n) {
            const std::string file = path + "/" + std::to_string(n) + ".bmp";
            if (std::filesystem::exists(file)) {
                continue;
            }
            image.setSize(640, 480);
            std::mt19937 noise(static_cast<unsigned>(n));
            for (int y = 0; y < 480; ++y) {
                for (int x = 0; x < 640; ++x) {
                    const int shape = ((x - 320) * (x - 320) + (y - 240) * (y - 240)) / (400 + n);
                    image.row(static_cast<std::uint16_t>(y))[x] =
                        static_cast<std::uint8_t>((shape + x / 16 + (noise() % 8 == 0)) & 0xFF);
                }
            }
            for (unsigned i = 0; i < 256; ++i) {
                image.setPaletteEntry(static_cast<std::uint16_t>(i), static_cast<std::uint8_t>(i),
                                      static_cast<std::uint8_t>(255 - i),
                                      static_cast<std::uint8_t>(i * 7));
            }
            writeImage(codecs()[0], file, image, {});
        }
        return path;
    }();
    return folder;
}

// Each worker count's statuses and output bytes; all must be equal.
std::map<long, std::string>& fingerprints() {
    static std::map<long, std::string> seen;
    return seen;
}

void BM_DesktopConvert(benchmark::State& state) {
    const std::string& source = pictureFolder();
    const std::string out = source + "-out";
    std::string fingerprint;
    for (auto _ : state) {
        state.PauseTiming();
        std::filesystem::remove_all(out);
        auto w = std::make_unique<Window>(false);
        for (int n = 0; n < 200; ++n) {
            w->list.addEntry(source + "/" + std::to_string(n) + ".bmp", source);
        }
        std::tie(w->settings.SaveMode, w->settings.SaveDirFlag, w->settings.SaveDir) =
            std::tuple(1, 1, out);
        w->settings.Jobs = static_cast<int>(state.range(0));
        settle();
        state.ResumeTiming();
        w->window->dispatchCommand(ids::kCmdConvertAll);
        while (w->window->job().busy()) {
            // Blocks until the run posts something, as the real event loop
            // does (the overload with a time limit never waits: it would spin
            // on a core the workers need).
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
        }
        state.PauseTiming();
        fingerprint.clear();
        for (int n = 0; n < 200; ++n) {
            const auto result = w->list.row(n).result;
            fingerprint += result ? std::to_string(static_cast<int>(*result)) : "-";
            std::ifstream png(out + "/" + std::to_string(n) + ".png", std::ios::binary);
            fingerprint += std::to_string(std::hash<std::string>{}(
                std::string(std::istreambuf_iterator<char>(png), {})));
        }
        w.reset();
        state.ResumeTiming();
    }
    fingerprints()[state.range(0)] = fingerprint;
    if (fingerprints().begin()->second != fingerprint) {
        state.SkipWithError("statuses or files differ from the other worker count's");
    }
    state.SetItemsProcessed(state.iterations() * 200);
}

// A few iterations each: one is a whole window's worth of work.
BENCHMARK(BM_AddRows_NoWindow)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(5);
BENCHMARK(BM_AddRows_Window)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);
BENCHMARK(BM_Sort_NoWindow)
    ->ArgName("column")
    ->Arg(kColumnRelativePath)
    ->Arg(kColumnBaseDirectory)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->Iterations(3);
BENCHMARK(BM_Sort_HeaderClick)
    ->ArgName("column")
    ->Arg(kColumnRelativePath)
    ->Arg(kColumnBaseDirectory)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->Iterations(3);
BENCHMARK(BM_StatusUpdates_Bridge)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);
BENCHMARK(BM_ConversionRun_NoWindow)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);
BENCHMARK(BM_ConversionRun_Window)
    ->ArgName("progress")
    ->Arg(1)
    ->Arg(0)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->Iterations(3);
BENCHMARK(BM_DesktopConvert)
    ->ArgName("jobs")
    ->Arg(1)
    ->Arg(2)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->Iterations(3);

}  // namespace

int main(int argc, char** argv) {
    // No display needed, and the same platform on every machine.
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);  // also sets the locale the sorts collate by
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
        return 1;
    }
    benchmark::AddCustomContext("rows", std::to_string(kRows));
    benchmark::AddCustomContext("qpa", QApplication::platformName().toStdString());
    const char* collate = std::setlocale(LC_COLLATE, nullptr);
    benchmark::AddCustomContext("collate", collate != nullptr ? collate : "?");
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
