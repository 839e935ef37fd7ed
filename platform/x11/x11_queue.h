#pragma once

#include "platform/dispatch/serial_queue.h"

namespace fenwright::x11 {

// The one queue on which every X request of the backend is made and every
// piece of backend state lives. Never destroyed: streams and completions may
// still be queued on it when the process ends.
SerialQueue& x11Queue();

}  // namespace fenwright::x11
