#include "platform/dispatch/main_loop.h"

#include <unistd.h>

namespace fenwright {

void runMainLoopForever() {
  for (;;) ::pause();
}

}  // namespace fenwright
