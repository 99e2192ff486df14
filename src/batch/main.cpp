// kelvara-batch: converts gathered files as the desktop's Convert all does,
// without a window, reporting one line per entry on standard output.

#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <clocale>
#include <csignal>
#include <cstring>
#include <exception>
#include <string>
#include <string_view>
#include <vector>

#include <fcntl.h>

#include <algorithm>
#include <numeric>
#include <optional>
#include <span>

#include "batch/batch_options.h"
#include "batch/batch_report.h"
#include "run/worker_pool.h"
#include "convert/output_policy.h"
#include "run/run_plan.h"
#include "io/deep_path.h"
#include "io/standard_streams.h"
#include "filelist/file_list.h"
#include "filelist/gather.h"
#include "settings/program_directory.h"
#include "settings/settings_store.h"

namespace {

using namespace kelvara;
using namespace kelvara::batch;
using Clock = std::chrono::steady_clock;

constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;

std::atomic<int> gSignal{0};
static_assert(std::atomic<int>::is_always_lock_free, "the signal handler needs a lock-free flag");

extern "C" void onStopSignal(int signal) {
    gSignal.store(signal, std::memory_order_relaxed);
}

// No SA_RESTART: nothing here blocks on a slow call that the flag could not
// be checked around, and an interrupted write is retried by writeAll.
void catchStopSignals() {
    struct sigaction action {};
    action.sa_handler = onStopSignal;
    sigemptyset(&action.sa_mask);
    ::sigaction(SIGINT, &action, nullptr);
    ::sigaction(SIGTERM, &action, nullptr);
}

bool writeAll(int fd, std::string_view data) {
    while (!data.empty()) {
        const ssize_t done = ::write(fd, data.data(), data.size());
        if (done < 0) {
            if (errno == EINTR) {
                continue;
            }
            return false;
        }
        data.remove_prefix(static_cast<std::size_t>(done));
    }
    return true;
}

void complain(std::string_view text) {
    std::string line = kProgramName;
    line += ": ";
    line += text;
    line += '\n';
    writeAll(STDERR_FILENO, line);
}

// "kelvara-batch: SOURCE: why" for -v, the source escaped as on standard output.
void appendReason(std::string& out, const std::string& source, Failure why) {
    std::string line;
    appendLine(line, kProgramName, source, failureText(why).empty() ? "unknown" : failureText(why));
    line.replace(line.find('\t'), 1, ": ");
    line.replace(line.rfind('\t'), 1, ": ");
    out += line;
}

int usageError(std::string_view reason) {
    complain(reason);
    writeAll(STDERR_FILENO, std::string("Try '") + kProgramName + " --help'.\n");
    return kExitUsage;
}

double secondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// The progress line on standard error, drawn only when it is a terminal.
class ProgressLine {
  public:
    ProgressLine()
        : active_(::isatty(STDERR_FILENO) == 1), sharesOutput_(::isatty(STDOUT_FILENO) == 1) {}

    bool active() const { return active_; }

    void draw(const std::string& text) {
        if (!active_) {
            return;
        }
        std::string line = "\r" + text;
        if (text.size() < width_) {
            line.append(width_ - text.size(), ' ');
        }
        width_ = text.size();
        writeAll(STDERR_FILENO, line);
    }

    void clear() {
        if (active_ && width_ > 0) {
            writeAll(STDERR_FILENO, "\r" + std::string(width_, ' ') + "\r");
            width_ = 0;
        }
    }

    // Lines on a terminal standard output would otherwise land in the middle
    // of the progress text.
    void beforeOutput() {
        if (sharesOutput_) {
            clear();
        }
    }

    void finish(const std::string& summary) {
        clear();
        if (active_) {
            writeAll(STDERR_FILENO, summary + "\n");
        }
    }

  private:
    bool active_;
    bool sharesOutput_;
    std::size_t width_ = 0;
};

// Standard output, collected and written in pieces. Once a write fails
// (a closed pipe) nothing more is attempted and broken() says so.
class LineOutput {
  public:
    std::string& buffer() { return buffer_; }
    bool broken() const { return broken_.load(); }

    void flush(ProgressLine& progress) {
        if (buffer_.empty()) {
            return;
        }
        progress.beforeOutput();
        if (!broken_.load() && !writeAll(STDOUT_FILENO, buffer_)) {
            broken_.store(true);
        }
        buffer_.clear();
    }

  private:
    std::string buffer_;
    std::atomic<bool> broken_{false};  // read by the workers' stop check
};

// Whether path is a settings file that can be read: errno tells why not.
bool readableFile(const std::string& path) {
    const FileDescriptor fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
    struct stat st {};
    if (!fd.valid() || ::fstat(fd.get(), &st) != 0) {
        return false;
    }
    if (!S_ISREG(st.st_mode)) {
        errno = S_ISDIR(st.st_mode) ? EISDIR : EINVAL;
        return false;
    }
    return true;
}

// The settings file's values with the command line laid over them, or the
// reason the run cannot start. A settings file that cannot be read is never
// taken to mean "defaults": those would rewrite files beside their sources.
std::optional<Settings> loadSettings(const BatchOptions& options, std::string& error) {
    Settings settings;
    const std::string& programDir = programDirectory();
    const SettingsEnvironment env = SettingsEnvironment::fromProcess();
    const std::string path =
        options.configFile ? *options.configFile : settingsFilePath(programDir, env);
    struct stat st {};
    const bool present = options.configFile || ::stat(path.c_str(), &st) == 0;
    if (present && !readableFile(path)) {
        error = "cannot read the settings file " + path + ": " + std::strerror(errno);
        return std::nullopt;
    }
    if (!present && !options.saveMode) {
        error = "no target format: give --to bmp|png|xyz (there is no settings file " + path + ")";
        return std::nullopt;
    }
    {
        SettingsStore store(path, StoreAccess::ReadOnly);
        // The window position does not matter here; any stored one is accepted.
        bindAllSettings(store, settings, INT_MAX, INT_MAX, defaultSettingsFolder(programDir, env));
    }
    applyOverrides(options, settings);
    return settings;
}

// The PATH arguments, then the names of --files-from. Returns why the list
// file could not be read, or nothing.
std::string collectArguments(const BatchOptions& options, std::vector<std::string>& arguments) {
    arguments = options.paths;
    if (options.filesFrom) {
        const auto data = readWholeFile(*options.filesFrom);
        if (!data) {
            return *options.filesFrom + ": " + std::strerror(errno);
        }
        auto names = splitPathList(*data, options.nullSeparated ? '\0' : '\n');
        arguments.insert(arguments.end(), std::make_move_iterator(names.begin()),
                         std::make_move_iterator(names.end()));
    }
    return {};
}

// What each entry weighs for splitting a run into shards: the pixel count
// its header declares, or its size for other files. Neither changes when a
// shard converts a file in place, so every shard weighs the same.
std::vector<std::uint64_t> entryWeights(const FileList& list, const RunPlan& plan) {
    std::vector<std::uint64_t> weights(plan.size(), 1);
    for (std::size_t i = 0; i < plan.size(); ++i) {
        const std::string& path = list.row(static_cast<int>(i)).fullPath;
        const OutputPlan& entry = plan[i].plan;
        std::uint64_t weight = 0;
        if (entry.action == OutputAction::ConvertImage) {
            weight = pixelCountOf(*codecFor(entry.sourceFormat), path);
        }
        struct stat st {};
        if (weight == 0 && entry.action != OutputAction::SkipEntry && statDeep(path, st) == 0) {
            weight = static_cast<std::uint64_t>(st.st_size);
        }
        weights[i] = std::max<std::uint64_t>(weight, 1);
    }
    return weights;
}

int exitAfterSignal() {
    return 128 + gSignal.load();  // 130 for SIGINT, 143 for SIGTERM
}

// A dry run's word for an entry: what the run would do with it.
std::string_view dryRunWord(const RunPlan& plan, std::size_t i, const Settings& settings) {
    const PlannedEntry& entry = plan[i];
    if (entry.conflict) {
        return statusName(ConvertStatus::TargetConflict);
    }
    struct stat st {};
    if (entry.plan.action != OutputAction::SkipEntry && !entry.inPlace &&
        existingTargetRule(settings) == ExistingTarget::Keep &&
        ::lstat(entry.plan.targetPath.c_str(), &st) == 0) {
        return planName(OutputAction::SkipEntry);
    }
    return planName(entry.plan.action);
}

int dryRun(const FileList& list, const RunPlan& plan, std::span<const std::uint32_t> selected,
           const Settings& settings, const BatchOptions& options, LineOutput& out,
           StatusCounts& counts, Clock::time_point start) {
    ProgressLine progress;
    bool anyConflict = false;
    for (const std::uint32_t i : selected) {
        const std::string_view word = dryRunWord(plan, i, settings);
        const bool conflict = plan[i].conflict;
        anyConflict = anyConflict || conflict;
        ++counts[conflict ? static_cast<std::size_t>(ConvertStatus::TargetConflict)
                          : static_cast<std::size_t>(plan[i].plan.action)];
        if (!options.quiet || conflict) {
            appendLine(out.buffer(), word, list.row(static_cast<int>(i)).fullPath,
                       conflict ? std::string_view() : std::string_view(plan[i].plan.targetPath));
        }
        if (out.buffer().size() > 65536) {
            out.flush(progress);
        }
    }
    out.flush(progress);
    progress.finish(summaryLine(counts, true, secondsSince(start), false));
    return out.broken() || anyConflict ? kExitFailed : 0;
}

int convertAll(const FileList& list, const RunPlan& plan, std::span<const std::uint32_t> selected,
               const Settings& settings, const BatchOptions& options, LineOutput& out,
               StatusCounts& counts, Clock::time_point start) {
    const unsigned jobs = workerCount(options.jobs != 0 ? options.jobs : settings.Jobs);

    ProgressLine progress;
    std::size_t reported = 0;
    bool anyFailed = false;
    Clock::time_point lastDraw{};
    // Each entry's output path or failure, written by the worker that ran it
    // and read on this thread once the entry is delivered. k numbers the
    // selected entries.
    std::vector<EntryReport> reports(selected.size());
    std::string reasons;

    const EntryWork work = [&](std::size_t k) {
        const std::uint32_t i = selected[k];
        return plan.process(i, list.row(static_cast<int>(i)).fullPath, &reports[k]);
    };
    RunHooks hooks;
    hooks.stopRequested = [&] {
        return gSignal.load(std::memory_order_relaxed) != 0 || out.broken();
    };
    hooks.onResult = [&](std::size_t k, ConvertStatus status) {
        ++reported;
        ++counts[static_cast<std::size_t>(status)];
        const bool failed = isFailure(status);
        anyFailed = anyFailed || failed;
        const std::string& fullPath = list.row(static_cast<int>(selected[k])).fullPath;
        if (!options.quiet || failed) {
            appendLine(out.buffer(), statusName(status), fullPath,
                       status == ConvertStatus::Success ? std::string_view(reports[k].written)
                                                        : std::string_view());
        }
        if (options.verbose && failed) {
            appendReason(reasons, fullPath, reports[k].failure);
        }
        std::string().swap(reports[k].written);
    };
    hooks.onTick = [&] {
        out.flush(progress);
        if (!reasons.empty()) {
            progress.clear();
            writeAll(STDERR_FILENO, reasons);
            reasons.clear();
        }
        const auto now = Clock::now();
        if (progress.active() && now - lastDraw >= std::chrono::milliseconds(100)) {
            lastDraw = now;
            progress.draw(progressLine(reported, selected.size(), secondsSince(start)));
        }
    };

    const DependencyGraph graph =
        selected.size() == plan.size() ? plan.graph() : subgraph(plan.graph(), selected);
    const std::size_t ran = runEntries(graph, jobs, work, hooks);
    out.flush(progress);
    if (!reasons.empty()) {
        progress.clear();
        writeAll(STDERR_FILENO, reasons);
    }

    const int signal = gSignal.load();
    std::string summary = summaryLine(counts, false, secondsSince(start), signal != 0);
    if (ran < selected.size()) {
        summary += ", " + std::to_string(selected.size() - ran) + " not started";
    }
    progress.finish(summary);
    if (signal != 0) {
        return exitAfterSignal();
    }
    return anyFailed || out.broken() ? kExitFailed : 0;
}

int run(const BatchOptions& options, const std::string& cwd) {
    const auto start = Clock::now();
    // From here on a signal ends the run with its documented status, also
    // while the list is still being read.
    catchStopSignals();
    std::string error;
    const std::optional<Settings> settings = loadSettings(options, error);
    if (!settings) {
        return usageError(error);
    }

    std::vector<std::string> arguments;
    error = collectArguments(options, arguments);
    if (gSignal.load() != 0) {
        return exitAfterSignal();
    }
    if (!error.empty()) {
        return usageError(error);
    }

    // Shards must gather the same list wherever and whenever they start: a
    // folder walked beside its sources could already hold another shard's
    // outputs.
    if (options.shard && settings->SaveDirFlag == 0) {
        for (const std::string& argument : arguments) {
            struct stat st {};
            if (statDeep(absolutePath(argument, cwd), st) == 0 && S_ISDIR(st.st_mode)) {
                return usageError("--shard with outputs beside their sources takes files, not the "
                                  "folder " + argument + ": list the files once (find ... > list) "
                                  "and give every shard --files-from list");
            }
        }
    }

    // Paths that give no entry are reported first, as the walk meets them;
    // by the first shard only, so that the shards' lines add up to one run's.
    LineOutput out;
    StatusCounts counts{};
    const bool reportsOmissions = !options.shard || options.shard->first == 1;
    const auto omitted = [&](const std::string& path, Omission why) {
        if (reportsOmissions) {
            ++counts[omissionSlot(why)];
            appendLine(out.buffer(), omissionName(why), path, {});
        }
    };
    FileList list;
    onCommandLine(list, arguments, cwd, *settings, {}, omitted);
    if (gSignal.load() != 0) {
        ProgressLine progress;
        out.flush(progress);
        return exitAfterSignal();
    }
    const bool anyOmitted =
        std::any_of(counts.begin() + kStatusCount, counts.end(), [](std::size_t n) { return n > 0; });

    std::vector<RunEntry> entries;
    entries.reserve(static_cast<std::size_t>(list.rowCount()));
    for (int i = 0; i < list.rowCount(); ++i) {
        entries.push_back({list.row(i).fullPath, list.row(i).relativePath});
    }
    const RunPlan plan(entries, *settings);
    std::vector<RunEntry>().swap(entries);

    // A shard carries out whole groups of entries; the others belong to the
    // other shards.
    std::vector<std::uint32_t> selected;
    if (options.shard) {
        const std::vector<std::uint32_t> shards =
            assignShards(plan, entryWeights(list, plan), options.shard->second);
        for (std::uint32_t i = 0; i < shards.size(); ++i) {
            if (shards[i] + 1 == options.shard->first) {
                selected.push_back(i);
            }
        }
    } else {
        selected.resize(plan.size());
        std::iota(selected.begin(), selected.end(), 0u);
    }

    const int status =
        options.dryRun ? dryRun(list, plan, selected, *settings, options, out, counts, start)
                       : convertAll(list, plan, selected, *settings, options, out, counts, start);
    return status == 0 && anyOmitted ? kExitFailed : status;
}

}  // namespace

int main(int argc, char** argv) {
    // Before anything is opened: a closed standard output would otherwise be
    // the descriptor of the first image written, and status lines would go
    // into it.
    openClosedStandardStreams();
    // Only the character set: paths are split by the locale's codeset, as
    // the desktop program does; numbers and messages stay in the C locale.
    std::setlocale(LC_CTYPE, "");
    // A closed standard output becomes a failed write that stops the run,
    // and a file beyond RLIMIT_FSIZE a write-error entry, instead of either
    // killing the process.
    std::signal(SIGPIPE, SIG_IGN);
    std::signal(SIGXFSZ, SIG_IGN);

    try {
        const std::string cwd = currentDirectory();
        const ParsedCommandLine parsed = parseCommandLine(argc, argv, cwd);
        switch (parsed.action) {
            case CommandAction::ShowHelp:
            case CommandAction::ShowVersion:
                return writeAll(STDOUT_FILENO, parsed.text) ? 0 : kExitFailed;
            case CommandAction::UsageError:
                return usageError(parsed.text);
            case CommandAction::Run:
                break;
        }
        return run(parsed.options, cwd);
    } catch (const std::exception& e) {
        complain(e.what());
        return kExitFailed;
    }
}
