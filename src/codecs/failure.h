#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace kelvara {

// Why an entry did not succeed, as far as the code that failed knows: the
// status says what happened, this says why. Readers name what they met in a
// file; the conversion adds what the system answered and what the run decided.
enum class Failure : std::uint8_t {
    None = 0,
    // The source.
    SourceVanished,    // no file by that name any more
    NotAFile,          // a folder, FIFO or device
    PermissionDenied,  // reading or writing was not allowed
    NotBitmap,         // the header is not a supported bitmap
    NotPng,            // no PNG signature
    NotXyz,            // no XYZ header
    EndsInHeader,      // the file ends before its header does
    EndsInPixels,      // the file ends inside the pixel data
    Damaged,           // the data cannot be decoded
    Compression,       // a compression the reader does not know
    NoPixels,          // a width or height of 0
    TooLarge,          // wider or taller than 65535 pixels
    LowDepth,          // 1, 2 or 4 bits per pixel
    DeepColour,        // more than 8 bits per pixel
    OutOfMemory,
    // The output.
    DiskFull,
    ReadOnlyDisk,
    FileTooLarge,   // beyond the size a file may have here
    NoFolder,       // the output folder could not be made
    TargetNotFile,  // a folder or another non-file stands at the output's name
    IoError,
    // The run.
    ReplacesRunFile,  // the output would replace another file of the run
    LinkLeadsOut,     // a link at the output's name leads out of the output folder
    SystemError,      // any other refusal of the system
};

inline constexpr std::size_t kFailureCount = static_cast<std::size_t>(Failure::SystemError) + 1;

// What errno says about a failed read of a source or a write of an output.
Failure failureFromErrno(int error, bool writing);

// One English line for the batch program's -v and for the desktop's English
// interface; empty for None.
std::string_view failureText(Failure failure);

}  // namespace kelvara
