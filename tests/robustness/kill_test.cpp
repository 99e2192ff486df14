// A conversion run killed with SIGKILL at twenty moments: each target is
// absent, its old version or complete, and no source is lost.
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "robust_support.h"

namespace kelvara::robust {
namespace {

using test::Bytes;

constexpr int kEntries = 30;
constexpr int kMoments = 20;

// One list entry: in place (a PNG rewritten as PNG), replacing an older
// output (XYZ to an existing BMP), or to a new file (BMP to XYZ).
struct Entry {
    std::string source;
    std::string target;
    ImageFormat targetFormat;
    Bytes sourceBytes;
    Bytes oldTarget;  // empty: no target before the run
    std::unique_ptr<IndexedImage> image = std::make_unique<IndexedImage>();
};

std::vector<Entry> makeEntries() {
    std::vector<Entry> entries(kEntries);
    test::TempDir scratch;
    for (int i = 0; i < kEntries; ++i) {
        Entry& e = entries[static_cast<std::size_t>(i)];
        const std::string n = std::to_string(i);
        fillImage(*e.image, 256, 200 + i, static_cast<std::uint32_t>(i + 1));
        ImageFormat sourceFormat;
        switch (i % 3) {
            case 0:
                e.source = "p" + n + ".png";
                e.target = e.source;
                sourceFormat = ImageFormat::Png;
                e.targetFormat = ImageFormat::Png;
                break;
            case 1: {
                e.source = "r" + n + ".xyz";
                e.target = "r" + n + ".bmp";
                sourceFormat = ImageFormat::Xyz;
                e.targetFormat = ImageFormat::Bmp;
                IndexedImage old;
                fillImage(old, 50, 40, static_cast<std::uint32_t>(1000 + i));
                EXPECT_TRUE(writeImage(scratch.file("old"), ImageFormat::Bmp, old));
                e.oldTarget = test::readFile(scratch.file("old"));
                break;
            }
            default:
                e.source = "n" + n + ".bmp";
                e.target = "n" + n + ".xyz";
                sourceFormat = ImageFormat::Bmp;
                e.targetFormat = ImageFormat::Xyz;
                break;
        }
        // Level 0: an in-place rewrite at level 9 differs in every byte count.
        EXPECT_TRUE(writeImage(scratch.file("src"), sourceFormat, *e.image, 0));
        e.sourceBytes = test::readFile(scratch.file("src"));
        if (e.target == e.source) {
            e.oldTarget = e.sourceBytes;
        }
    }
    return entries;
}

void lay(const std::vector<Entry>& entries, const test::TempDir& dir) {
    std::string list;
    for (const Entry& e : entries) {
        test::writeFile(dir.file(e.source), e.sourceBytes);
        if (!e.oldTarget.empty() && e.target != e.source) {
            test::writeFile(dir.file(e.target), e.oldTarget);
        }
        list += std::to_string(static_cast<int>(e.targetFormat)) + " " + dir.file(e.source) + "\n";
    }
    test::writeFile(dir.file("list"), list);
}

struct Outcome {
    int finished = 0;     // "<index> <status>" lines printed before the end
    int failures = 0;     // of those, statuses other than success
    bool killed = false;  // still running when the kill came
};

// Runs the helper over the list; with killAfterLines >= 0 it is killed once
// that many entries have finished and a further delay has passed.
Outcome runHelper(const test::TempDir& dir, int killAfterLines, std::chrono::microseconds delay) {
    int fds[2];
    if (::pipe(fds) != 0) {
        return {};
    }
    const std::string list = dir.file("list");
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::dup2(fds[1], STDOUT_FILENO);
        ::close(fds[0]);
        ::close(fds[1]);
        ::execl(ROBUST_CONVERT_LIST, ROBUST_CONVERT_LIST, list.c_str(),
                static_cast<char*>(nullptr));
        ::_exit(127);
    }
    ::close(fds[1]);
    Outcome outcome;
    std::string text;
    bool sent = false;
    auto countLines = [&] {
        outcome.finished = 0;
        outcome.failures = 0;
        for (std::size_t at = 0, nl; (nl = text.find('\n', at)) != std::string::npos; at = nl + 1) {
            const std::string line = text.substr(at, nl - at);
            ++outcome.finished;
            outcome.failures += line.substr(line.find(' ') + 1) != "0" ? 1 : 0;
        }
    };
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(120);
    for (;;) {
        countLines();
        if (!sent && killAfterLines >= 0 && outcome.finished >= killAfterLines) {
            std::this_thread::sleep_for(delay);
            outcome.killed = ::kill(pid, SIGKILL) == 0;
            sent = true;
        }
        if (std::chrono::steady_clock::now() > deadline) {
            ::kill(pid, SIGKILL);
        }
        pollfd p{fds[0], POLLIN, 0};
        ::poll(&p, 1, 100);
        char chunk[512];
        const ssize_t n = ::read(fds[0], chunk, sizeof chunk);
        if (n == 0) {
            break;  // every line printed before the end has been read
        }
        if (n > 0) {
            text.append(chunk, static_cast<std::size_t>(n));
        }
    }
    ::close(fds[0]);
    int status = 0;
    ::waitpid(pid, &status, 0);
    countLines();
    // A kill that came after the last line but before the exit changes nothing.
    outcome.killed = outcome.killed && WIFSIGNALED(status);
    return outcome;
}

// Checks the folder after a run; returns the number of hidden temporaries.
int checkFolder(const std::vector<Entry>& entries, const test::TempDir& dir, const Outcome& outcome,
                const std::string& moment) {
    std::set<std::string> known = {"list"};
    for (int i = 0; i < kEntries; ++i) {
        const Entry& e = entries[static_cast<std::size_t>(i)];
        known.insert(e.source);
        known.insert(e.target);
        const std::string target = dir.file(e.target);
        const bool complete = holdsImage(target, e.targetFormat, *e.image);
        if (i < outcome.finished) {
            EXPECT_TRUE(complete) << moment << ": finished entry " << e.target;
        } else if (!complete) {
            if (e.oldTarget.empty()) {
                EXPECT_FALSE(test::exists(target)) << moment << ": partial " << e.target;
            } else {
                EXPECT_EQ(test::readFile(target), e.oldTarget)
                    << moment << ": damaged " << e.target;
            }
        }
        if (e.source != e.target) {
            EXPECT_EQ(test::readFile(dir.file(e.source)), e.sourceBytes)
                << moment << ": " << e.source;
        }
    }
    int temporaries = 0;
    for (const std::string& name : test::listDir(dir.path())) {
        // Only a kill between naming the finished temporary and renaming it
        // can leave one; it is hidden and never takes a target's name.
        const bool temporary = name.starts_with(".kelvara-") && name.ends_with(".tmp");
        temporaries += temporary ? 1 : 0;
        EXPECT_TRUE(temporary || known.count(name) == 1) << moment << ": stray " << name;
    }
    return temporaries;
}

TEST(KilledRun, EveryTargetIsOldOrCompleteAndNoSourceIsLost) {
    const std::vector<Entry> entries = makeEntries();

    // An uninterrupted run first: it must convert everything, and its
    // length spaces the kills.
    test::TempDir whole;
    lay(entries, whole);
    const auto start = std::chrono::steady_clock::now();
    const Outcome full = runHelper(whole, -1, {});
    const auto perEntry = std::chrono::duration_cast<std::chrono::microseconds>(
                              std::chrono::steady_clock::now() - start) /
                          kEntries;
    ASSERT_EQ(full.finished, kEntries);
    ASSERT_EQ(full.failures, 0);
    EXPECT_EQ(checkFolder(entries, whole, full, "uninterrupted"), 0);

    std::set<int> finishedAtKill;
    int killedRuns = 0;
    int temporaries = 0;
    for (int moment = 0; moment < kMoments; ++moment) {
        test::TempDir dir;
        lay(entries, dir);
        // Spread over the run: after 0, 1, 3, 4 ... 28 finished entries, and
        // 0 to 3/4 of an entry's time into the next one.
        const int lines = moment * kEntries / kMoments;
        const auto delay = perEntry * (moment % 4) / 4;
        const Outcome outcome = runHelper(dir, lines, delay);
        EXPECT_EQ(outcome.failures, 0);
        finishedAtKill.insert(outcome.finished);
        killedRuns += outcome.killed ? 1 : 0;
        temporaries += checkFolder(entries, dir, outcome, "kill " + std::to_string(moment));
    }
    // The kills really fell at different points of the run.
    EXPECT_GE(killedRuns, kMoments - 2);
    EXPECT_GE(finishedAtKill.size(), 10u);
    RecordProperty("killed_runs", killedRuns);
    RecordProperty("distinct_kill_points", static_cast<int>(finishedAtKill.size()));
    RecordProperty("hidden_temporaries_left", temporaries);
}

}  // namespace
}  // namespace kelvara::robust
