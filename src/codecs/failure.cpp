#include "codecs/failure.h"

#include <array>
#include <cerrno>

namespace kelvara {

Failure failureFromErrno(int error, bool writing) {
    switch (error) {
        case ENOENT:
        case ENOTDIR:
            return writing ? Failure::NoFolder : Failure::SourceVanished;
        case EACCES:
        case EPERM:
            return Failure::PermissionDenied;
        case EISDIR:
            return writing ? Failure::TargetNotFile : Failure::NotAFile;
        case ENOSPC:
        case EDQUOT:
            return Failure::DiskFull;
        case EROFS:
            return Failure::ReadOnlyDisk;
        case EFBIG:
            return Failure::FileTooLarge;
        case EIO:
            return Failure::IoError;
        case ENOMEM:
            return Failure::OutOfMemory;
        default:
            return Failure::SystemError;
    }
}

std::string_view failureText(Failure failure) {
    static constexpr std::array<std::string_view, kFailureCount> kTexts = {
        "",
        "the file vanished",
        "not a regular file",
        "permission denied",
        "the header is not a supported bitmap",
        "not a PNG file",
        "not an XYZ file",
        "the file ends inside its header",
        "the file ends inside the pixel data",
        "the image data is damaged",
        "the compression is not supported",
        "the image has no pixels",
        "the image is wider or taller than 65535 pixels",
        "1, 2 or 4 bits per pixel",
        "more than 8 bits per pixel",
        "not enough memory",
        "the disk is full",
        "the disk is read-only",
        "the output would pass the file size limit",
        "the output folder could not be made",
        "a folder or another non-file has the output's name",
        "input/output error",
        "the output would replace another file of this run",
        "a link at the output's name leads out of the output folder",
        "the system refused",
    };
    const auto i = static_cast<std::size_t>(failure);
    return i < kTexts.size() ? kTexts[i] : std::string_view();
}

}  // namespace kelvara
