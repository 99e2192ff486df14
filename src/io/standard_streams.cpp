#include "io/standard_streams.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

namespace kelvara {

void openClosedStandardStreams() {
    for (int fd = 0; fd <= 2; ++fd) {
        if (::fcntl(fd, F_GETFD) == -1 && errno == EBADF) {
            // open returns the lowest free descriptor: this very one.
            const int opened = ::open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY);
            if (opened >= 0 && opened != fd) {
                ::close(opened);
            }
        }
    }
}

}  // namespace kelvara
