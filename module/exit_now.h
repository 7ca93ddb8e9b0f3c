// Ending a process at once, without exit handlers.
#pragma once

#include <unistd.h>

// Writes the counters of a build made with coverage counters (gcov); absent,
// and so null, in every other build.
extern "C" void __gcov_dump(void) __attribute__((weak));

namespace hx_process {

// Ends the process with `code` as _exit() does: no exit handlers, no
// destructors, no flush of the standard streams. A coverage build first
// writes its counters, which its exit handlers would otherwise have written.
// Not for signal handlers: writing the counters is not async-signal-safe.
[[noreturn]] inline void exit_now(int code) {
  if (__gcov_dump != nullptr) __gcov_dump();
  _exit(code);
}

}  // namespace hx_process
