#pragma once

#include <functional>

namespace fenwright {

int currentProcessId();

// Keeps every thread on one malloc arena. Each further arena reserves 64 MiB
// of address space, which under a tight `ulimit -v` leaves nothing for the
// frames; the queues allocate little and never on their hot paths. Call
// before any thread starts.
void useOneMallocArena();

// Ends the process at once with `status`, after flushing the log. Static
// destructors are skipped on purpose: queue threads may still be running and
// must not see their objects torn down under them.
[[noreturn]] void exitProcess(int status);

// The seam through which the service ends the process; tests replace it to
// observe the status instead of dying.
using ProcessExit = std::function<void(int status)>;
ProcessExit realProcessExit();

}  // namespace fenwright
