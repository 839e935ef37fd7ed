#include "platform/x11/x11_queue.h"

namespace fenwright::x11 {

SerialQueue& x11Queue() {
  static auto* queue = new SerialQueue("com.quenfield.app.fenwright.x11");
  return *queue;
}

}  // namespace fenwright::x11
