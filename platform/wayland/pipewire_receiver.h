#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "platform/expected.h"
#include "platform/unique_fd.h"
#include "scale/image_view.h"

struct pw_buffer;

namespace fenwright::wayland {

// Receives one PipeWire video node through a portal's remote, on a loop of
// its own that the owner drives: iterate() whenever descriptor() is
// readable, on one queue. Buffers are memfd memory mapped once by PipeWire
// and viewed in place; the newest one taken stays ours until a newer one is
// taken, so the present picture can be shown again without a copy.
class PipeWireReceiver {
 public:
  struct Events {
    // A new picture may be waiting.
    std::function<void()> frameReady;
    // The stream can deliver no more (the producer left, an error).
    std::function<void(const std::string& reason)> ended;
  };

  static Expected<std::unique_ptr<PipeWireReceiver>> connect(UniqueFd remote, std::uint32_t node,
                                                             int maxFramesPerSecond,
                                                             Events events);
  ~PipeWireReceiver();
  PipeWireReceiver(const PipeWireReceiver&) = delete;
  PipeWireReceiver& operator=(const PipeWireReceiver&) = delete;

  int descriptor() const;
  // Runs what is due. Buffers may go (and be unmapped) meanwhile: never
  // while a view of one is still in use.
  void iterate();

  // The newest picture waiting (the crop the producer marked, or the whole
  // buffer); older ones, and the one held before, go back to the producer.
  // Nothing, and the held one kept, when no picture is waiting. The view
  // is valid until the next call.
  std::optional<ImageView> takeNewest();
  // The picture last taken, if any.
  std::optional<ImageView> current() const;

 private:
  struct Hooks;
  PipeWireReceiver() = default;
  void onParamChanged(std::uint32_t id, const void* param);
  void onStateChanged(int state, const char* error);
  std::optional<ImageView> viewOf(pw_buffer* buffer) const;

  Events events_;
  std::unique_ptr<Hooks> hooks_;
  int width_ = 0;
  int height_ = 0;
  pw_buffer* held_ = nullptr;
  bool ended_ = false;
};

}  // namespace fenwright::wayland
