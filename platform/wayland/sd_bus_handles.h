#pragma once

#include <systemd/sd-bus.h>

#include <memory>

#include "platform/c_deleter.h"

namespace fenwright::wayland {

// A connection closed with what it still had to send flushed first, so a
// portal session ends when its connection goes.
using SdBus = std::unique_ptr<sd_bus, CDeleter<&sd_bus_flush_close_unref>>;
using SdBusMessage = std::unique_ptr<sd_bus_message, CDeleter<&sd_bus_message_unref>>;
using SdBusSlot = std::unique_ptr<sd_bus_slot, CDeleter<&sd_bus_slot_unref>>;

// An sd_bus_error freed on every path.
class SdBusError {
 public:
  SdBusError() = default;
  ~SdBusError() { sd_bus_error_free(&error_); }
  SdBusError(const SdBusError&) = delete;
  SdBusError& operator=(const SdBusError&) = delete;
  sd_bus_error* get() { return &error_; }
  const char* message() const { return error_.message ? error_.message : error_.name; }

 private:
  sd_bus_error error_ = SD_BUS_ERROR_NULL;
};

}  // namespace fenwright::wayland
