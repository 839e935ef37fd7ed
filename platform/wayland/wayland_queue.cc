#include "platform/wayland/wayland_queue.h"

namespace fenwright::wayland {

SerialQueue& waylandQueue() {
  static auto* queue = new SerialQueue("com.quenfield.app.fenwright.wayland");
  return *queue;
}

}  // namespace fenwright::wayland
