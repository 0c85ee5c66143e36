// Standard input, output and error that the caller closed.
#pragma once

namespace zq {

// Opens /dev/null on each of descriptors 0, 1 and 2 that is closed, so that
// no file opened later takes one of them and receives text meant for the
// terminal. Call it first, before anything opens a file. False when one
// stays closed (no /dev/null).
bool ReopenClosedStandardStreams();

}  // namespace zq
