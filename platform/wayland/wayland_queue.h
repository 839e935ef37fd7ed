#pragma once

#include "platform/dispatch/serial_queue.h"

namespace fenwright::wayland {

// The one queue on which the backend talks to the portal and PipeWire and
// keeps all its state. Never destroyed: streams and completions may still
// be queued on it when the process ends.
SerialQueue& waylandQueue();

}  // namespace fenwright::wayland
