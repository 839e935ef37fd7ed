#include "platform/process.h"

#include <malloc.h>
#include <unistd.h>

#include "platform/log/logger.h"

namespace fenwright {

int currentProcessId() { return static_cast<int>(::getpid()); }

void useOneMallocArena() { ::mallopt(M_ARENA_MAX, 1); }

void exitProcess(int status) {
  log::flush();
  ::_exit(status);
}

ProcessExit realProcessExit() {
  return [](int status) { exitProcess(status); };
}

}  // namespace fenwright
