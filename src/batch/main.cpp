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

#include "batch/batch_options.h"
#include "batch/batch_report.h"
#include "batch/batch_schedule.h"
#include "conversion/output_policy.h"
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

Settings loadSettings(const BatchOptions& options) {
    Settings settings;
    const std::string& programDir = programDirectory();
    const std::string path = options.configFile
                                 ? *options.configFile
                                 : settingsFilePath(programDir, SettingsEnvironment::fromProcess());
    {
        SettingsStore store(path, StoreAccess::ReadOnly);
        // The window position does not matter here; any stored one is accepted.
        bindAllSettings(store, settings, INT_MAX, INT_MAX, programDir);
    }
    applyOverrides(options, settings);
    return settings;
}

// The PATH arguments, then the names of --files-from. Returns why the list
// file could not be read, or nothing.
std::string collectArguments(const BatchOptions& options, const std::string& cwd,
                             std::vector<std::string>& arguments) {
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
    for (std::string& argument : arguments) {
        argument = withoutTrailingSlashes(std::move(argument));
        // Gathering ignores a missing path; on a terminal a typo deserves a word.
        struct stat st {};
        const std::string full = absolutePath(argument, cwd);
        if (!argument.empty() && ::stat(full.c_str(), &st) != 0) {
            complain(argument + ": " + std::strerror(errno));
        }
    }
    return {};
}

int dryRun(const FileList& list, const std::vector<OutputPlan>& plans, bool quiet,
           Clock::time_point start) {
    ProgressLine progress;
    LineOutput out;
    StatusCounts counts{};
    for (std::size_t i = 0; i < plans.size(); ++i) {
        ++counts[static_cast<std::size_t>(plans[i].action)];
        if (!quiet) {  // a plan never fails, so -q leaves nothing to print
            appendLine(out.buffer(), planName(plans[i].action),
                       list.row(static_cast<int>(i)).fullPath, plans[i].targetPath);
        }
        if (out.buffer().size() > 65536) {
            out.flush(progress);
        }
    }
    out.flush(progress);
    progress.finish(summaryLine(counts, true, secondsSince(start), false));
    return out.broken() ? kExitFailed : 0;
}

int convertAll(const FileList& list, const std::vector<OutputPlan>& plans, const Settings& settings,
               const BatchOptions& options, Clock::time_point start) {
    PathCanonicalizer paths;
    DependencyBuilder builder;
    for (std::size_t i = 0; i < plans.size(); ++i) {
        builder.add(entryAccess(list.row(static_cast<int>(i)).fullPath, plans[i], paths));
    }
    const DependencyGraph graph = builder.take();

    unsigned jobs = options.jobs;
    if (jobs == 0) {
        const long online = ::sysconf(_SC_NPROCESSORS_ONLN);
        jobs = online > 0 ? static_cast<unsigned>(online) : 1u;
    }

    ProgressLine progress;
    LineOutput out;
    StatusCounts counts{};
    std::size_t reported = 0;
    bool anyFailed = false;
    Clock::time_point lastDraw{};

    const EntryWork work = [&](std::size_t i) {
        const FileEntry& row = list.row(static_cast<int>(i));
        return processEntry(row.fullPath, row.relativePath, settings);
    };
    RunHooks hooks;
    hooks.stopRequested = [&] {
        return gSignal.load(std::memory_order_relaxed) != 0 || out.broken();
    };
    hooks.onResult = [&](std::size_t i, ConvertStatus status) {
        ++reported;
        ++counts[static_cast<std::size_t>(status)];
        const bool failed = isFailure(status);
        anyFailed = anyFailed || failed;
        if (!options.quiet || failed) {
            const bool written =
                status == ConvertStatus::Success && plans[i].action != OutputAction::SkipEntry;
            appendLine(out.buffer(), statusName(status), list.row(static_cast<int>(i)).fullPath,
                       written ? std::string_view(plans[i].targetPath) : std::string_view());
        }
    };
    hooks.onTick = [&] {
        out.flush(progress);
        const auto now = Clock::now();
        if (progress.active() && now - lastDraw >= std::chrono::milliseconds(100)) {
            lastDraw = now;
            progress.draw(progressLine(reported, plans.size(), secondsSince(start)));
        }
    };

    catchStopSignals();
    const std::size_t ran = runEntries(graph, jobs, work, hooks);
    out.flush(progress);

    const int signal = gSignal.load();
    std::string summary = summaryLine(counts, false, secondsSince(start), signal != 0);
    if (ran < plans.size()) {
        summary += ", " + std::to_string(plans.size() - ran) + " not started";
    }
    progress.finish(summary);
    if (signal != 0) {
        return 128 + signal;  // 130 for SIGINT, 143 for SIGTERM
    }
    return anyFailed || out.broken() ? kExitFailed : 0;
}

int run(const BatchOptions& options, const std::string& cwd) {
    const auto start = Clock::now();
    const Settings settings = loadSettings(options);

    std::vector<std::string> arguments;
    if (const std::string error = collectArguments(options, cwd, arguments); !error.empty()) {
        return usageError(error);
    }
    FileList list;
    onCommandLine(list, arguments, cwd, settings, {});

    std::vector<OutputPlan> plans;
    plans.reserve(static_cast<std::size_t>(list.rowCount()));
    for (int i = 0; i < list.rowCount(); ++i) {
        const FileEntry& row = list.row(i);
        plans.push_back(resolveOutput(row.fullPath, row.relativePath, settings));
    }
    return options.dryRun ? dryRun(list, plans, options.quiet, start)
                          : convertAll(list, plans, settings, options, start);
}

}  // namespace

int main(int argc, char** argv) {
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
