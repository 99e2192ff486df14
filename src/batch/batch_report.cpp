#include "batch/batch_report.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace kelvara::batch {

namespace {

constexpr std::array<std::string_view, kStatusCount> kStatusNames = {
    "success", "skipped", "copy-failed", "unsupported-format", "not-8-bit", "write-error",
    "target-conflict"};

constexpr std::array<std::string_view, 3> kPlanNames = {"convert", "copy", "skip"};

constexpr std::array<std::string_view, kOmissionCount> kOmissionNames = {
    "not-found", "not-a-file", "unreadable", "no-files"};

void appendEscaped(std::string& out, std::string_view path) {
    for (const char c : path) {
        switch (c) {
            case '\\':
                out += "\\\\";
                break;
            case '\t':
                out += "\\t";
                break;
            case '\n':
                out += "\\n";
                break;
            default:
                out += c;
        }
    }
}

std::string duration(double seconds) {
    const long total = std::lround(std::max(0.0, seconds));
    char text[32];
    if (total >= 3600) {
        std::snprintf(text, sizeof text, "%ld:%02ld:%02ld", total / 3600, total / 60 % 60,
                      total % 60);
    } else {
        std::snprintf(text, sizeof text, "%ld:%02ld", total / 60, total % 60);
    }
    return text;
}

}  // namespace

std::string_view statusName(ConvertStatus status) {
    const auto i = static_cast<std::size_t>(status);
    return i < kStatusNames.size() ? kStatusNames[i] : std::string_view();
}

std::string_view planName(OutputAction action) {
    switch (action) {
        case OutputAction::ConvertImage:
            return kPlanNames[0];
        case OutputAction::CopyUnchanged:
            return kPlanNames[1];
        case OutputAction::SkipEntry:
            break;
    }
    return kPlanNames[2];
}

std::string_view omissionName(Omission why) {
    const auto i = static_cast<std::size_t>(why);
    return i < kOmissionNames.size() ? kOmissionNames[i] : std::string_view();
}

void appendLine(std::string& out, std::string_view status, std::string_view source,
                std::string_view target) {
    out += status;
    out += '\t';
    appendEscaped(out, source);
    out += '\t';
    appendEscaped(out, target);
    out += '\n';
}

std::string progressLine(std::size_t done, std::size_t total, double elapsedSeconds) {
    const double rate = elapsedSeconds > 0 ? static_cast<double>(done) / elapsedSeconds : 0;
    char text[96];
    std::snprintf(text, sizeof text, "%zu/%zu  %.1f files/s", done, total, rate);
    std::string line = text;
    if (rate > 0 && done < total) {
        line += "  ";
        line += duration(static_cast<double>(total - done) / rate);
        line += " left";
    }
    return line;
}

std::string summaryLine(const StatusCounts& counts, bool dryRun, double elapsedSeconds,
                        bool interrupted) {
    std::string line;
    for (std::size_t i = 0; i < counts.size(); ++i) {
        std::string_view name;
        if (i >= kStatusCount) {
            name = kOmissionNames[i - kStatusCount];
        } else if (dryRun && i < kPlanNames.size()) {
            name = kPlanNames[i];
        } else {
            name = kStatusNames[i];
        }
        if (counts[i] == 0) {
            continue;
        }
        if (!line.empty()) {
            line += ", ";
        }
        line += std::to_string(counts[i]);
        line += ' ';
        line += name;
    }
    if (line.empty()) {
        line = "no entries";
    }
    char tail[64];
    std::snprintf(tail, sizeof tail, " in %.2f s", elapsedSeconds);
    line += tail;
    if (interrupted) {
        line += " (interrupted)";
    }
    return line;
}

}  // namespace kelvara::batch
