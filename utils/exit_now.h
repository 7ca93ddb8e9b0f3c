// Ending a process at once, without exit handlers.
#pragma once

#include <stdlib.h>
#include <unistd.h>

#include "log/hx_logger.h"

// Writes the counters of a program built with coverage counters (gcov), as
// at its end; absent, and so null, in every other build.
extern "C" void __gcov_exit(void) __attribute__((weak));

namespace hx_process {

// Holds every signal but the faults from here on. A process ended while it
// writes its coverage counters leaves them unreadable, and every later
// process that adds to them loses its own: the counters must be written
// whole.
inline void hold_signals_for_counters() { HxDestination::hold_async_signals(nullptr); }

// In a coverage build, makes the end of the program hold signals before its
// exit handlers write the counters (handlers registered with atexit run
// before them); nothing in any other build.
inline void write_counters_whole_at_exit() {
  static const bool registered = __gcov_exit != nullptr && ::atexit(hold_signals_for_counters) == 0;
  (void)registered;
}

// Ends the process with `code` as _exit() does: no exit handlers, no
// destructors, no flush of the standard streams. A coverage build first
// writes its counters, which its exit handlers would otherwise have written,
// so that what a forked child ran counts too. Not for signal handlers:
// writing the counters is not async-signal-safe.
[[noreturn]] inline void exit_now(int code) {
  if (__gcov_exit != nullptr) {
    hold_signals_for_counters();
    __gcov_exit();
  }
  _exit(code);  // GCOVR_EXCL_LINE: in a coverage build the counters are written before this line runs
}

}  // namespace hx_process
