#pragma once

namespace kelvara {

// Opens /dev/null on each of standard input, output and error that is
// closed. Run first thing at start-up: otherwise the next file the program
// opens takes descriptor 1 and status lines or messages land in it.
void openClosedStandardStreams();

}  // namespace kelvara
