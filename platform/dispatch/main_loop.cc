#include "platform/dispatch/main_loop.h"

#include <unistd.h>

#include "platform/dispatch/shared_executor.h"

namespace fenwright {

void runMainLoopForever() {
  runAnsweringContextOnMainThread();
  for (;;) ::pause();
}

}  // namespace fenwright
