#!/usr/bin/env python3
"""Hand-seeded mutants: a yardstick for how many faults the test suite catches.

Each mutant replaces one exact snippet of a source file (it must occur exactly
once) with a faulty variant. For every mutant the script applies it, builds
incrementally, runs the whole suite with ctest and restores the file byte for
byte, also on an exception or Ctrl+C. A mutant is "caught" when at least one
test fails, "survived" when the suite passes, "no-build" when the build fails
and "stale" when its snippet no longer occurs exactly once.

    python3 scripts/mutants.py [--build-dir DIR] [--only NAME ...] [--jobs N] [--out FILE]

The build directory must already be configured (it defaults to build/mutants
in the repository). Before the first mutant the clean tree is built and the
suite run once: a suite that fails without any mutant cannot tell anything.
At the end the clean tree is built again, so that the build directory holds
no mutant. The results go to --out as a Markdown table; --update keeps the
rows of mutants not run this time from an existing --out file.

While a mutant is applied, a copy of the original file and a note naming it
are kept in build/.mutants-state; a run that was killed outright is repaired
from them when the script next starts (also by --check).

--command SHELL measures with another check instead of the suite, e.g. a
single candidate test: the command runs in the repository with
MUTANT_BUILD_DIR set, must pass on the clean tree, and a nonzero exit status
counts the mutant as caught.

Standard library only.
"""

from __future__ import annotations

import argparse
import datetime
import json
import os
import re
import signal
import subprocess
import sys
import time
from dataclasses import dataclass
from pathlib import Path

REPO = Path(__file__).resolve().parent.parent

AREAS = ("codecs", "atomic", "output", "ini", "filelist", "scheduler")
AREA_TITLES = {
    "codecs": "codecs",
    "atomic": "atomic writes",
    "output": "output policy",
    "ini": "INI layer",
    "filelist": "file list",
    "scheduler": "scheduler",
}
MIN_MUTANTS = 45
MIN_PER_AREA = 5


@dataclass(frozen=True)
class Mutant:
    name: str
    area: str
    file: str  # relative to the repository
    original: str
    replacement: str
    description: str


def m(name, area, file, original, replacement, description):
    return Mutant(name, area, file, original, replacement, description)


BMP = "src/codecs/bmp.cpp"
PNG = "src/codecs/png.cpp"
XYZ = "src/codecs/xyz.cpp"
ZLIB = "src/codecs/zlib_stream.cpp"
ATOMIC = "src/io/atomic_file.cpp"
IMAGE_FILE = "src/io/image_file.cpp"
POLICY = "src/convert/output_policy.cpp"
RUN_PLAN = "src/run/run_plan.cpp"
INI = "src/settings/ini_file.cpp"
STORE = "src/settings/settings_store.cpp"
FILE_LIST = "src/filelist/file_list.cpp"
GATHER = "src/filelist/gather.cpp"
SCHEDULE = "src/run/worker_pool.cpp"
CODEC_TABLE = "src/codecs/codec_table.cpp"
STATUS_TEXTS = "src/desktop/status_texts.cpp"

MUTANTS = [
    # ---------------------------------------------------------------- codecs
    m("bmp_palette_rgb_order", "codecs", BMP,
      "image.setPaletteEntry(static_cast<std::uint16_t>(slot), e[2], e[1], e[0]);",
      "image.setPaletteEntry(static_cast<std::uint16_t>(slot), e[0], e[1], e[2]);",
      "BMP reader takes colour-table entries as RGB instead of BGR (red and blue swapped)"),
    m("bmp_rows_upside_down", "codecs", BMP,
      "return image.row(static_cast<std::uint16_t>(topDown ? i : height - 1 - i));",
      "return image.row(static_cast<std::uint16_t>(topDown ? height - 1 - i : i));",
      "BMP plain-row reader swaps the bottom-up and top-down branches (picture upside down)"),
    m("bmp_write_stride_plus_one", "codecs", BMP,
      "const std::uint32_t stride = (width + 3) & ~3u;",
      "const std::uint32_t stride = (width + 4) & ~3u;",
      "BMP writer rounds the row stride off by one: widths divisible by 4 get 4 stray padding bytes"),
    m("bmp_rle_eol_keeps_column", "codecs", BMP,
      "            x = 0;\n            ++line;\n",
      "            ++line;\n",
      "RLE8 end-of-line no longer returns to column 0 (following rows start mid-row)"),
    m("bmp_any_bit_depth", "codecs", BMP,
      "if (bits != 8 && !(lowDepth && options.expandLowDepth)) {",
      "if (bits == 0) {",
      "BMP reader drops its 8-bit check: 24/32-bit files convert to garbage instead of NotEightBit"),
    m("png_packed_depths_accepted", "codecs", PNG,
      "if (header.channels * header.bitDepth != 8 && !expand) {",
      "if (header.channels * header.bitDepth > 8 && !expand) {",
      "PNG reader accepts 1/2/4-bit images and stores their packed rows as 8-bit pixels"),
    m("png_trns_dropped", "codecs", PNG,
      "image.setPaletteAlpha(alpha, static_cast<std::size_t>(alphaCount));",
      "static_cast<void>(alpha);",
      "PNG reader drops the palette's tRNS opacity table"),
    m("png_last_plte_entry_lost", "codecs", PNG,
      "for (int i = 0; i < count && i < static_cast<int>(IndexedImage::kPaletteSize); ++i) {",
      "for (int i = 0; i < count - 1 && i < static_cast<int>(IndexedImage::kPaletteSize); ++i) {",
      "PNG reader copies one PLTE entry too few (the last colour reads as black)"),
    m("xyz_palette_bgr", "codecs", XYZ,
      "rgb[3 * i], rgb[3 * i + 1],\n                              rgb[3 * i + 2]);",
      "rgb[3 * i + 2], rgb[3 * i + 1],\n                              rgb[3 * i]);",
      "XYZ reader takes palette triples as BGR (red and blue swapped)"),
    m("xyz_short_stream_accepted", "codecs", XYZ,
      "        case LIBDEFLATE_SUCCESS:\n",
      "        case LIBDEFLATE_SHORT_OUTPUT:\n        case LIBDEFLATE_SUCCESS:\n",
      "XYZ reader no longer refuses a stream that ends before palette and pixels are complete"),
    m("xyz_header_dims_swapped", "codecs", XYZ,
      "    storeLe16(header + 4, image.width());\n    storeLe16(header + 6, image.height());",
      "    storeLe16(header + 4, image.height());\n    storeLe16(header + 6, image.width());",
      "XYZ writer stores the height in the width field and the width in the height field"),
    m("xyz_ratio_guard_too_tight", "codecs", XYZ,
      "constexpr std::uint64_t kMaxDeflateRatio = 1032;",
      "constexpr std::uint64_t kMaxDeflateRatio = 258;",
      "XYZ size guard assumes 258:1 at most and refuses valid, highly compressed files"),
    m("inflate_into_no_advance", "codecs", ZLIB,
      "            partDone += produced;\n            filled += produced;",
      "            filled += produced;",
      "inflateInto never moves on from its first block: the pixels overwrite the palette table"),
    m("put_all_ignores_short_write", "codecs", XYZ,
      "    return file.write(data, n) == n && !file.failed();",
      "    file.write(data, n);\n    return true;",
      "compressed output that could not be written whole still counts as written"),
    m("deflate_last_chunk_lost", "codecs", XYZ,
      "put(file, stream, streamSize)",
      "put(file, stream, streamSize - 1)",
      "the XYZ writer drops the last byte of its compressed stream (a cut stream)"),

    # --------------------------------------------------------- atomic writes
    m("replace_loses_mode", "atomic", ATOMIC,
      "        mode_ = st.st_mode & 07777 & ~static_cast<mode_t>(S_ISUID | S_ISGID);\n"
      "        haveMode_ = true;\n",
      "        mode_ = st.st_mode & 07777 & ~static_cast<mode_t>(S_ISUID | S_ISGID);\n",
      "a replaced file no longer keeps its permission bits (the new one gets the default mode)"),
    m("replace_through_link_replaces_link", "atomic", ATOMIC,
      "if (S_ISLNK(st.st_mode)) {",
      "if (false && S_ISLNK(st.st_mode)) {",
      "replacing a symbolic link replaces the link itself instead of the file it leads to"),
    m("abandon_keeps_named_temporary", "atomic", ATOMIC,
      "        ::unlinkat(folderFd(), tempName_.c_str(), 0);\n"
      "        tempName_.clear();\n    }\n    unnamed_ = false;\n}\n",
      "        tempName_.clear();\n    }\n    unnamed_ = false;\n}\n",
      "abandon() forgets to unlink a named temporary: failed writes leave .kelvara-*.tmp files"),
    m("numbered_name_hidden_file", "atomic", ATOMIC,
      "dot == std::string_view::npos || dot == 0 ? name.size() : dot",
      "dot == std::string_view::npos ? name.size() : dot",
      "numbered names take a hidden file's leading dot for an extension ('.cfg' -> ' (1).cfg')"),
    m("numbered_name_starts_at_two", "atomic", ATOMIC,
      "std::string name = k == 0 ? name_ : numberedName(name_, k);",
      "std::string name = k == 0 ? name_ : numberedName(name_, k + 1);",
      "numbered names are off by one: the first free copy is 'x (2)' instead of 'x (1)'"),
    m("numbered_name_ignores_reserved", "atomic", ATOMIC,
      "        if (k > 0 && options_.reservedName && options_.reservedName(name)) {\n"
      "            continue;\n        }\n",
      "",
      "numbered names may take a name reserved for another file of the run"),
    m("commit_skips_flush", "atomic", IMAGE_FILE,
      "const bool ok = flushWrites() && !failed_ && writer_.commit();",
      "const bool ok = !failed_ && writer_.commit();",
      "ImageFile::commit publishes without flushing its write buffer (the file's tail is lost)"),
    m("flush_keeps_offset", "atomic", IMAGE_FILE,
      "    fileOffset_ += bufferFill_;\n    bufferFill_ = 0;",
      "    bufferFill_ = 0;",
      "flushing the write buffer does not advance the file offset: the next block overwrites it"),
    m("write_parts_keeps_offset", "atomic", IMAGE_FILE,
      "    fileOffset_ += total;\n    position_ += total;",
      "    position_ += total;",
      "a large scattered write does not advance the file offset (big BMPs overwrite their rows)"),

    # --------------------------------------------------------- output policy
    m("extension_case_fold_misses_z", "output", CODEC_TABLE,
      "return c >= 'A' && c <= 'Z' ?",
      "return c >= 'A' && c < 'Z' ?",
      "extension matching folds A..Y only: an upper-case '.XYZ' source is not recognised"),
    m("existing_rule_swapped", "output", POLICY,
      "        case 1:\n            return ExistingTarget::Keep;\n"
      "        case 2:\n            return ExistingTarget::NumberedName;",
      "        case 1:\n            return ExistingTarget::NumberedName;\n"
      "        case 2:\n            return ExistingTarget::Keep;",
      "Existing=1 (skip) and Existing=2 (numbered name) swap meanings"),
    m("reproduce_dir_swapped", "output", POLICY,
      "candidate += settings.ReproduceDir ? std::string_view(relativePath)\n"
      "                                           : fileNamePart(fullPath, style);",
      "candidate += settings.ReproduceDir ? fileNamePart(fullPath, style)\n"
      "                                           : std::string_view(relativePath);",
      "ReproduceDir swaps branches: the folder tree is kept when it should be flattened and vice versa"),
    m("unknown_flag_inverted", "output", POLICY,
      "if (settings.UnKnownFlag == 1) {",
      "if (settings.UnKnownFlag != 1) {",
      "other file types are copied when UnKnownFlag says skip and skipped when it says copy"),
    m("copy_same_file_success", "output", POLICY,
      "                    return ConvertStatus::Success;\n"
      "                case CopyResult::SameFile:  // nothing to do: the file is already there\n",
      "                case CopyResult::SameFile:  // nothing to do: the file is already there\n"
      "                    return ConvertStatus::Success;\n",
      "a copy whose target is its own source reports Success instead of Skipped"),
    m("copy_drops_mode", "output", POLICY,
      "    writer.setMode(from.st_mode & 0777);\n",
      "",
      "copies no longer keep the source's permission bits"),
    m("copy_no_folders", "output", POLICY,
      "            makeDirectories(directoryPart(plan.targetPath));\n",
      "",
      "copying an unknown file no longer creates the output folders it needs"),
    m("source_conflict_dropped", "output", RUN_PLAN,
      "if (const auto it = owners.find(*path); it != owners.end() && !entry.conflict) {",
      "if (const auto it = owners.find(*path); false && it != owners.end() && !entry.conflict) {",
      "an output that would replace another entry's source is no longer a conflict (source destroyed)"),
    m("writer_conflict_dropped", "output", RUN_PLAN,
      "if (const auto it = writers.find(*path); it != writers.end() && !entry.conflict) {",
      "if (const auto it = writers.find(*path); false && it != writers.end() && !entry.conflict) {",
      "two entries with the same output no longer conflict (the later replaces the earlier's output)"),
    m("existing_rule_on_in_place", "output", RUN_PLAN,
      "    if (!entry.inPlace) {\n        target.existing = existingTargetRule(settings_);",
      "    if (entry.inPlace) {\n        target.existing = existingTargetRule(settings_);",
      "the Existing rule is applied to in-place rewrites and not to other existing targets"),
    m("link_out_of_folder_inverted", "output", RUN_PLAN,
      "!entry.conflict && throughLink && !isInside(written, root)",
      "!entry.conflict && throughLink && isInside(written, root)",
      "a target link leading out of the output folder is followed, one leading inside is refused"),

    # ------------------------------------------------------------- INI layer
    m("ini_names_case_sensitive", "ini", INI,
      "if (foldCase(a[i]) != foldCase(b[i])) {",
      "if (a[i] != b[i]) {",
      "section and key names compare case-sensitively"),
    m("ini_section_end_ignored", "ini", INI,
      "                return loc;  // only the first section of the name counts\n",
      "                // (the next header no longer ends the section)\n",
      "a section header no longer ends the previous section: keys leak across sections"),
    m("ini_value_trailing_blanks_kept", "ini", INI,
      "                while (e > b && isBlank(line[e - 1])) {\n                    --e;\n                }\n",
      "",
      "trailing blanks (and the CR of CRLF lines) stay part of a value"),
    m("ini_append_glues_last_line", "ini", INI,
      "    } else if (loc.insertNeedsBreak) {\n        add += eol_;\n    }\n",
      "    }\n",
      "a key added after an unterminated last line is glued onto that line"),
    m("ini_line_ending_inverted", "ini", INI,
      "text_[nl - 1] == '\\r' ? \"\\r\\n\" : \"\\n\";",
      "text_[nl - 1] == '\\r' ? \"\\n\" : \"\\r\\n\";",
      "new lines get the other line ending than the file's (CRLF in LF files and vice versa)"),
    m("ini_missing_file_unreadable", "ini", INI,
      "        return errno == ENOENT;\n",
      "        return false;\n",
      "a settings file that does not exist yet counts as unreadable, so the first save never happens"),
    m("ini_range_excludes_max", "ini", INI,
      "return v < min || v > max ? def : v;",
      "return v < min || v >= max ? def : v;",
      "readIntInRange rejects its maximum (SaveMode=2, CompLv=9 read back as the default)"),
    m("ini_value_not_cut", "ini", INI,
      "    value = value.substr(0, cut);\n",
      "",
      "a value holding a line break is written whole, adding lines to the file"),
    m("store_overwrites_unreadable", "ini", STORE,
      "    if (!file.load(path_)) {\n"
      "        return false;  // replacing what could not be read would lose it\n    }\n",
      "    file.load(path_);\n",
      "a settings file that cannot be read is replaced by one holding only the new values"),
    m("store_existing_max_one", "ini", STORE,
      'store.bindIntInRange("Convert", "Existing", s.Existing, 0, 0, 2);',
      'store.bindIntInRange("Convert", "Existing", s.Existing, 0, 0, 1);',
      "Existing=2 (numbered names) is not loaded from the settings file"),
    m("store_empty_save_dir_kept", "ini", STORE,
      "    if (s.SaveDir.empty()) {\n        s.SaveDir = defaultFolder;\n    }\n",
      "",
      "an empty SaveDir stays empty instead of becoming the default folder"),

    # ------------------------------------------------------------- file list
    m("relative_path_keeps_separator", "filelist", FILE_LIST,
      "fullPath.substr(std::min(baseDirectory.size() + 1, fullPath.size()))",
      "fullPath.substr(std::min(baseDirectory.size(), fullPath.size()))",
      "the relative path keeps the separator after the base folder (off by one)"),
    m("duplicate_paths_listed", "filelist", FILE_LIST,
      "    if (!inserted) {\n        return false;\n    }\n",
      "",
      "a path that is listed already is listed again"),
    m("remove_succeeded_inverted", "filelist", FILE_LIST,
      "return entry.result == ConvertStatus::Success;",
      "return entry.result != ConvertStatus::Success;",
      "removing succeeded rows removes every other row instead"),
    m("removed_rows_keep_paths", "filelist", FILE_LIST,
      "            paths_.erase(in->fullPath);\n",
      "",
      "removed rows keep their path registered: the file cannot be added again"),
    m("sort_starts_descending", "filelist", FILE_LIST,
      "const int direction = previous == 0 ? 1 : -previous;",
      "const int direction = previous == 0 ? -1 : -previous;",
      "the first click on a column sorts descending"),
    m("remove_selected_selects_next", "filelist", FILE_LIST,
      "        selectRow(first);\n",
      "        selectRow(first + 1);\n",
      "after removing selected rows the row after the first removed position is selected"),
    m("status_texts_swapped", "filelist", STATUS_TEXTS,
      '    QT_TRANSLATE_NOOP("kelvara::StatusTexts", "Write error"),\n'
      '    QT_TRANSLATE_NOOP("kelvara::StatusTexts", "Output conflicts with another file"),\n',
      '    QT_TRANSLATE_NOOP("kelvara::StatusTexts", "Output conflicts with another file"),\n'
      '    QT_TRANSLATE_NOOP("kelvara::StatusTexts", "Write error"),\n',
      "WriteError and TargetConflict rows show each other's status text"),
    m("walk_descending_order", "filelist", GATHER,
      "[](const Entry& a, const Entry& b) { return a.name < b.name; });",
      "[](const Entry& a, const Entry& b) { return a.name > b.name; });",
      "a folder's entries are walked in descending instead of ascending byte order"),
    m("output_folder_walked", "filelist", GATHER,
      "    if (settings.SaveDirFlag == 1) {\n        options.skipFolder = settings.SaveDir;\n    }\n",
      "",
      "a walk takes the files of the output folder in again as sources"),
    m("relative_argument_no_separator", "filelist", GATHER,
      "gatherPath(list, currentDirectory + '/' + argument, {}, options);",
      "gatherPath(list, currentDirectory + argument, {}, options);",
      "a relative argument is joined to the current directory without a separator"),
    m("empty_folder_not_reported", "filelist", GATHER,
      "            } else if (count.files == 0) {\n                omit(Omission::NoFiles);\n            }\n",
      "            }\n",
      "a folder without any file is no longer reported as giving no entry"),

    # ------------------------------------------------------------- scheduler
    m("writer_skips_reader_waits", "scheduler", RUN_PLAN,
      "            scratch_.insert(scratch_.end(), it->second.readers.begin(), it->second.readers.end());\n",
      "",
      "an entry replacing a file no longer waits for earlier entries that read it"),
    m("read_misses_entry_zero", "scheduler", RUN_PLAN,
      "if (it != uses_.end() && it->second.lastWriter >= 0) {",
      "if (it != uses_.end() && it->second.lastWriter > 0) {",
      "a read does not wait when the last writer is entry 0 (off by one)"),
    m("write_skips_writer_wait", "scheduler", RUN_PLAN,
      "            if (it->second.lastWriter >= 0) {\n"
      "                scratch_.push_back(static_cast<std::uint32_t>(it->second.lastWriter));\n"
      "            }\n            scratch_.insert",
      "            scratch_.insert",
      "an entry replacing a file no longer waits for the earlier entry that wrote it"),
    m("edges_recorded_one_late", "scheduler", RUN_PLAN,
      "    graph_.edges_.insert(graph_.edges_.end(), scratch_.begin(), scratch_.end());\n"
      "    graph_.offsets_.push_back(graph_.edges_.size());\n",
      "    graph_.offsets_.push_back(graph_.edges_.size());\n"
      "    graph_.edges_.insert(graph_.edges_.end(), scratch_.begin(), scratch_.end());\n",
      "wrong order: each entry's waits are recorded under the next entry"),
    m("missing_folders_not_read", "scheduler", RUN_PLAN,
      "        access.reads.insert(access.reads.end(), missing.begin(), missing.end());\n",
      "",
      "a folder an output still needs is not counted as read: an entry writing a file there may run first"),
    m("runner_highest_first", "scheduler", SCHEDULE,
      "std::greater<>> ready_;",
      "std::less<>> ready_;",
      "the runner starts the highest-numbered ready entry first instead of the lowest"),
    m("runner_ignores_stop", "scheduler", SCHEDULE,
      "if (ready_.empty() || shouldStop()) {",
      "if (ready_.empty()) {",
      "a stop request (signal, broken output) no longer keeps further entries from starting"),
    m("runner_throw_counts_as_success", "scheduler", SCHEDULE,
      "ConvertStatus status = ConvertStatus::WriteError;",
      "ConvertStatus status = ConvertStatus::Success;",
      "an entry whose work throws is reported as Success instead of WriteError"),
    m("runner_started_not_counted", "scheduler", SCHEDULE,
      "        ++started_;\n        ++inFlight_;\n",
      "        ++inFlight_;\n",
      "entries that ran are not counted: the run claims none of them started"),
    m("runner_late_results_dropped", "scheduler", SCHEDULE,
      "        for (; next_ < count_; ++next_) {\n"
      "            if (finished_[next_] != 0) {\n"
      "                hooks_.onResult(next_, results_[next_]);\n"
      "            }\n        }\n",
      "",
      "after a stop, entries that ran beyond one that never started are never reported"),
]


# ------------------------------------------------------------------ checks

def validate_table(mutants):
    problems = []
    names = [x.name for x in mutants]
    for name in sorted({n for n in names if names.count(n) > 1}):
        problems.append(f"duplicate mutant name {name}")
    for x in mutants:
        if x.area not in AREAS:
            problems.append(f"{x.name}: unknown area {x.area}")
        if x.original == x.replacement:
            problems.append(f"{x.name}: replacement equals the original")
        if not x.original:
            problems.append(f"{x.name}: empty snippet")
        if "|" in x.description or "\n" in x.description:
            problems.append(f"{x.name}: description must be one line without '|'")
        if not (REPO / x.file).is_file():
            problems.append(f"{x.name}: no file {x.file}")
    if len(mutants) < MIN_MUTANTS:
        problems.append(f"only {len(mutants)} mutants, want at least {MIN_MUTANTS}")
    for area in AREAS:
        n = sum(1 for x in mutants if x.area == area)
        if n < MIN_PER_AREA:
            problems.append(f"area {area} has {n} mutants, want at least {MIN_PER_AREA}")
    return problems


def occurrences(text: str, snippet: str) -> int:
    return text.count(snippet)


# --------------------------------------------------------------- restoring

class Restorer:
    """Keeps a byte copy of the file being mutated, on disk too, so that a
    run killed outright is repaired at the start of the next one."""

    def __init__(self, state_dir: Path):
        self.state_dir = state_dir
        self.journal = state_dir / "mutant-in-progress.json"
        self.backup = state_dir / "mutant-original.bin"
        self.path: Path | None = None
        self.data: bytes | None = None

    def recover_leftover(self):
        if not self.journal.exists():
            return
        info = json.loads(self.journal.read_text())
        target = REPO / info["file"]
        data = self.backup.read_bytes()
        if len(data) != info["size"]:
            raise SystemExit(f"backup of {info['file']} is damaged; restore it with git")
        if target.read_bytes() != data:
            target.write_bytes(data)
            print(f"restored {info['file']} left mutated by an earlier run ({info['mutant']})")
        # Newer than any object an interrupted build made from the mutant.
        os.utime(target)
        self.journal.unlink()
        self.backup.unlink()

    def save(self, mutant: Mutant, path: Path, data: bytes):
        self.state_dir.mkdir(parents=True, exist_ok=True)
        tmp = self.backup.with_suffix(".part")
        tmp.write_bytes(data)
        os.replace(tmp, self.backup)
        tmp = self.journal.with_suffix(".part")
        tmp.write_text(json.dumps({"mutant": mutant.name, "file": mutant.file, "size": len(data)}))
        os.replace(tmp, self.journal)
        self.path, self.data = path, data

    def restore(self):
        if self.path is None:
            return
        if self.path.read_bytes() != self.data:
            self.path.write_bytes(self.data)
        self.journal.unlink(missing_ok=True)
        self.backup.unlink(missing_ok=True)
        self.path = self.data = None


# --------------------------------------------------------- build and tests

def tail(text: str, lines: int) -> str:
    return "\n".join(text.strip().splitlines()[-lines:])


def run_captured(command: list[str]) -> tuple[int, str]:
    """Runs command in a process group of its own; on an interrupt the whole
    group is killed and waited for, so that no compiler is still writing an
    object from a mutated file once that file is restored."""
    return communicate(subprocess.Popen(command, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                                        text=True, errors="replace", start_new_session=True))


def communicate(proc: subprocess.Popen) -> tuple[int, str]:
    """Waits for proc (started in a session of its own) and its output; on an
    interrupt its whole process group is killed and waited for first."""
    try:
        output, _ = proc.communicate()
    except BaseException:
        try:
            os.killpg(proc.pid, signal.SIGKILL)
        except ProcessLookupError:
            pass
        proc.wait()
        raise
    return proc.returncode, output


def build(build_dir: Path, jobs: int) -> tuple[bool, str]:
    rc, output = run_captured(["cmake", "--build", str(build_dir), "--parallel", str(jobs)])
    return rc == 0, output


FAILED_LINE = re.compile(r"^\s*\d+\s+-\s+(\S+)(?:\s+#.*?)?\s+\(([^()]+)\)\s*$")


def run_suite(build_dir: Path, jobs: int, timeout: int) -> tuple[int, list[str], str]:
    rc, output = run_captured(
        ["ctest", "--test-dir", str(build_dir), "-j", str(jobs), "--timeout", str(timeout)])
    failed = []
    in_list = False
    for line in output.splitlines():
        if line.startswith("The following tests FAILED"):
            in_list = True
            continue
        if in_list:
            hit = FAILED_LINE.match(line)
            if hit:
                why = hit.group(2)
                failed.append(hit.group(1) if why == "Failed" else f"{hit.group(1)} ({why})")
            elif line.strip():
                in_list = False
    return rc, failed, output


def run_command(command: str, build_dir: Path) -> tuple[int, list[str], str]:
    """--command: a shell command in the repository, told the build directory
    through MUTANT_BUILD_DIR; a nonzero exit status tells the mutant apart."""
    env = dict(os.environ, MUTANT_BUILD_DIR=str(build_dir))
    rc, output = communicate(subprocess.Popen(
        ["/bin/sh", "-c", command], cwd=REPO, env=env, stdout=subprocess.PIPE,
        stderr=subprocess.STDOUT, text=True, errors="replace", start_new_session=True))
    last = output.strip().splitlines()[-1:] if output.strip() else []
    failed = [f"command exit {rc}" + (f": {last[0][:120]}" if last else "")]
    return rc, failed if rc != 0 else [], output


def summary_line(output: str) -> str:
    for line in output.splitlines():
        if "tests passed" in line and "tests failed" in line:
            return line.strip()
    return ""


# ------------------------------------------------------------- the results

@dataclass
class Result:
    mutant: Mutant
    result: str
    detail: str = ""
    seconds: float = 0.0


def md_cell(text: str) -> str:
    return text.replace("|", "\\|").replace("\n", " ")


def split_row(line: str) -> list[str]:
    cells = re.split(r"(?<!\\)\|", line.strip())[1:-1]
    return [c.strip().replace("\\|", "|") for c in cells]


def read_previous(out: Path) -> dict[str, tuple[str, str]]:
    """Result and failing tests per mutant name from an earlier --out file."""
    previous = {}
    if not out.exists():
        return previous
    in_table = False
    for line in out.read_text(encoding="utf-8").splitlines():
        if line.startswith("| name | area |"):
            in_table = True
            continue
        if in_table and line.startswith("|"):
            cells = split_row(line)
            if len(cells) == 5 and not set(cells[0]) <= {"-", ":"}:
                previous[cells[0]] = (cells[3], cells[4])
        elif in_table:
            in_table = False
    return previous


def git(*args: str) -> str:
    proc = subprocess.run(["git", "-C", str(REPO), *args], stdout=subprocess.PIPE,
                          stderr=subprocess.DEVNULL, text=True)
    return proc.stdout.strip() if proc.returncode == 0 else ""


def tree_note() -> str:
    dirty = git("status", "--porcelain", "--", "src", "tests")
    return "clean" if not dirty else "with local changes under src/ or tests/:\n\n" + "\n".join(
        "    " + line for line in dirty.splitlines())


def counts_by_area(rows):
    table = {area: {} for area in AREAS}
    for area, result in rows:
        table[area][result] = table[area].get(result, 0) + 1
    return table


RESULT_KINDS = ("caught", "survived", "no-build", "stale", "error")


def render(rows: list[tuple[Mutant, str, str]], commit: str, started: str, note: str,
           measure: str) -> str:
    lines = [
        "# Mutation yardstick",
        "",
        f"Commit measured: `{commit}`",
        "",
        f"Run: {started}; source tree {note}",
        "",
        "Produced by `python3 scripts/mutants.py`: each hand-seeded mutant is applied alone,",
        f"built incrementally and measured with {measure}.",
        "",
        "## Summary",
        "",
        "| area | mutants | " + " | ".join(RESULT_KINDS) + " |",
        "|---|---|" + "---|" * len(RESULT_KINDS),
    ]
    table = counts_by_area([(x.area, r) for x, r, _ in rows])
    totals = {k: 0 for k in RESULT_KINDS}
    for area in AREAS:
        n = sum(table[area].values())
        if n == 0:
            continue
        cells = []
        for k in RESULT_KINDS:
            cells.append(str(table[area].get(k, 0)))
            totals[k] += table[area].get(k, 0)
        lines.append(f"| {AREA_TITLES[area]} | {n} | " + " | ".join(cells) + " |")
    lines.append(f"| **all** | {len(rows)} | " + " | ".join(str(totals[k]) for k in RESULT_KINDS)
                 + " |")
    lines += ["", "## Mutants", "",
              "| name | area | description | result | failing tests |",
              "|---|---|---|---|---|"]
    for x, result, detail in rows:
        lines.append(f"| {md_cell(x.name)} | {AREA_TITLES[x.area]} | {md_cell(x.description)} | "
                     f"{result} | {md_cell(detail)} |")
    survivors = [(x, d) for x, r, d in rows if r == "survived"]
    if survivors:
        lines += ["", "## Survivors", ""]
        lines += [f"- `{x.name}` ({AREA_TITLES[x.area]}, `{x.file}`): {x.description}"
                  for x, _ in survivors]
    return "\n".join(lines) + "\n"


def print_summary(rows):
    table = counts_by_area([(x.area, r) for x, r, _ in rows])
    print("\nsummary (caught/survived per area):")
    for area in AREAS:
        c = table[area]
        if not c:
            continue
        extra = ", ".join(f"{c[k]} {k}" for k in ("no-build", "stale", "error") if c.get(k))
        print(f"  {AREA_TITLES[area]:<14} caught {c.get('caught', 0):>2}  "
              f"survived {c.get('survived', 0):>2}" + (f"  ({extra})" if extra else ""))
    total = {k: sum(table[a].get(k, 0) for a in AREAS) for k in RESULT_KINDS}
    print("  " + ", ".join(f"{total[k]} {k}" for k in RESULT_KINDS))
    for x, r, _ in rows:
        if r == "survived":
            print(f"  survivor: {x.name}: {x.description}")


# -------------------------------------------------------------------- main

class Interrupted(Exception):
    pass


def on_term(signum, frame):
    raise Interrupted(f"signal {signum}")


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--build-dir", default=str(REPO / "build" / "mutants"),
                        help="configured build directory (default: build/mutants)")
    parser.add_argument("--only", nargs="+", metavar="NAME", help="run only these mutants")
    parser.add_argument("--jobs", type=int, default=os.cpu_count() or 1,
                        help="parallel build and test jobs (default: all cores)")
    parser.add_argument("--out", help="Markdown results file "
                                      "(default: mutants-results.md in the build directory)")
    parser.add_argument("--update", action="store_true",
                        help="keep the rows of mutants not run now from an existing --out file")
    parser.add_argument("--timeout", type=int, default=300, help="ctest per-test timeout")
    parser.add_argument("--command", metavar="SHELL",
                        help="instead of the suite, run this shell command after each build "
                             "(MUTANT_BUILD_DIR names the build directory); a nonzero exit "
                             "status counts as caught. The clean tree must pass it too")
    parser.add_argument("--list", action="store_true", help="list the mutants and stop")
    parser.add_argument("--check", action="store_true",
                        help="check the table and that every snippet occurs once, then stop")
    parser.add_argument("--skip-clean-run", action="store_true",
                        help="do not build and test the clean tree before the first mutant")
    args = parser.parse_args()

    problems = validate_table(MUTANTS)
    if problems:
        for p in problems:
            print("table:", p, file=sys.stderr)
        return 2
    if args.list:
        for x in MUTANTS:
            print(f"{x.name:<38} {x.area:<10} {x.file:<36} {x.description}")
        return 0

    selected = MUTANTS
    if args.only:
        known = {x.name for x in MUTANTS}
        unknown = [n for n in args.only if n not in known]
        if unknown:
            print("unknown mutants: " + ", ".join(unknown), file=sys.stderr)
            return 2
        selected = [x for x in MUTANTS if x.name in set(args.only)]

    build_dir = Path(args.build_dir).resolve()
    # Beside the build trees (ignored by git), whatever --build-dir says: a
    # later run with another build directory still finds a leftover.
    restorer = Restorer(REPO / "build" / ".mutants-state")
    restorer.recover_leftover()

    if args.check:
        stale = 0
        for x in selected:
            n = occurrences((REPO / x.file).read_text(encoding="utf-8"), x.original)
            if n != 1:
                stale += 1
                print(f"stale: {x.name}: snippet occurs {n} times in {x.file}")
        print(f"{len(selected) - stale} of {len(selected)} snippets occur exactly once")
        return 1 if stale else 0

    if not (build_dir / "CMakeCache.txt").exists():
        print(f"{build_dir} is not a configured build directory", file=sys.stderr)
        return 2

    out = Path(args.out).resolve() if args.out else build_dir / "mutants-results.md"
    commit = git("rev-parse", "HEAD") or "unknown"
    started = datetime.datetime.now().strftime("%Y-%m-%d %H:%M")
    note = tree_note()
    previous = read_previous(out) if args.update else {}
    measure = (f"the command `{args.command}`" if args.command else
               f"the whole suite (`ctest -j {args.jobs} --timeout {args.timeout}`)")
    by_name = {x.name: x for x in MUTANTS}
    results: dict[str, tuple[str, str]] = {
        name: value for name, value in previous.items() if name in by_name}

    def write_out():
        rows = [(x, *results[x.name]) for x in MUTANTS if x.name in results]
        out.parent.mkdir(parents=True, exist_ok=True)
        tmp = out.with_suffix(out.suffix + ".part")
        tmp.write_text(render(rows, commit, started, note, measure), encoding="utf-8")
        os.replace(tmp, out)
        return rows

    # Also when started in the background, where SIGINT arrives ignored.
    signal.signal(signal.SIGINT, signal.default_int_handler)
    signal.signal(signal.SIGTERM, on_term)
    signal.signal(signal.SIGHUP, on_term)

    def check(directory: Path):
        if args.command:
            return run_command(args.command, directory)
        return run_suite(directory, args.jobs, args.timeout)
    interrupted = False
    mutated = False  # the build directory may hold a mutant build
    try:
        if not args.skip_clean_run:
            print("clean tree: building", flush=True)
            ok, log = build(build_dir, args.jobs)
            if not ok:
                print(tail(log, 30))
                print("the clean tree does not build", file=sys.stderr)
                return 1
            print("clean tree: running the " + ("command" if args.command else "suite"),
                  flush=True)
            rc, failed, log = check(build_dir)
            if rc != 0:
                print(tail(log, 30))
                print(("the command" if args.command else "the suite")
                      + " fails without any mutant: " + ", ".join(failed), file=sys.stderr)
                return 1
            print("clean tree: " + (summary_line(log) or "passes"), flush=True)

        for number, x in enumerate(selected, 1):
            t0 = time.monotonic()
            print(f"[{number}/{len(selected)}] {x.name} ({x.file})", flush=True)
            path = REPO / x.file
            data = path.read_bytes()
            text = data.decode("utf-8")
            n = occurrences(text, x.original)
            if n != 1:
                results[x.name] = ("stale", f"snippet occurs {n} times")
            else:
                restorer.save(x, path, data)
                mutated = True
                try:
                    path.write_bytes(text.replace(x.original, x.replacement, 1).encode("utf-8"))
                    ok, log = build(build_dir, args.jobs)
                    if not ok:
                        errors = [l.strip() for l in log.splitlines() if "error:" in l]
                        results[x.name] = ("no-build", (errors[0] if errors else "")[:160])
                    else:
                        rc, failed, log = check(build_dir)
                        if failed:
                            shown = ", ".join(failed[:4])
                            if len(failed) > 4:
                                shown += f" (+{len(failed) - 4} more)"
                            results[x.name] = ("caught", shown)
                        elif rc == 0:
                            results[x.name] = ("survived", "")
                        else:
                            results[x.name] = ("error", f"ctest exit {rc}: "
                                               + tail(log, 3).replace("\n", " ")[:160])
                finally:
                    restorer.restore()
            result, detail = results[x.name]
            seconds = time.monotonic() - t0
            print(f"    {result} in {seconds:.0f} s" + (f": {detail}" if detail else ""),
                  flush=True)
            write_out()
    except (KeyboardInterrupt, Interrupted):
        interrupted = True
        print("\ninterrupted: the source tree is restored; the build directory may still "
              "hold a mutant until the next build", file=sys.stderr)
    finally:
        restorer.restore()
        if mutated and not interrupted:
            print("clean tree: rebuilding", flush=True)
            ok, log = build(build_dir, args.jobs)
            if not ok:
                print(tail(log, 30))
                print("the clean tree did not rebuild", file=sys.stderr)

    rows = write_out()
    print_summary(rows)
    print(f"results: {out}")
    return 130 if interrupted else 0


if __name__ == "__main__":
    sys.exit(main())
