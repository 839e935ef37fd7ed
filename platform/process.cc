#include "platform/process.h"

#include <unistd.h>

#include "platform/log/logger.h"

namespace fenwright {

int currentProcessId() { return static_cast<int>(::getpid()); }

void exitProcess(int status) {
  log::flush();
  ::_exit(status);
}

ProcessExit realProcessExit() {
  return [](int status) { exitProcess(status); };
}

}  // namespace fenwright
