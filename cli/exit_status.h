// The command line's exit statuses, for people (--help, the manual page,
// the README) and for scripts.
#pragma once

#include "app/update_result.h"

namespace zq::cli {

constexpr int EXIT_OK = 0;            // done, or nothing to do
constexpr int EXIT_FAILED = 1;        // failed; the flash was not changed
constexpr int EXIT_USAGE = 2;         // usage error
constexpr int EXIT_AFTER_ERASE = 3;   // failed after the erase began
constexpr int EXIT_NOT_REPORTED = 4;  // done, but its results or log could not be written
constexpr int EXIT_STOPPED = 130;     // stopped by a signal

inline constexpr const char* EXIT_STATUS_TEXT =
    "Exit status:\n"
    "  0    done, or nothing to do\n"
    "  1    failed; the flash was not changed\n"
    "  2    usage error\n"
    "  3    failed after the erase began: the bridge may hold no working firmware;\n"
    "       run the update again\n"
    "  4    done as it would have said, but standard output or the --log file could\n"
    "       not be written; after a lost log line no further bridge was erased\n"
    "  130  stopped by a signal";

// The worst of two outcomes: a bridge left without firmware first.
int Worst(int a, int b);

// The exit status of one bridge's update.
int ExitStatusOf(UpdateResult result);

}  // namespace zq::cli
