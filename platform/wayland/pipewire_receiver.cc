#include "platform/wayland/pipewire_receiver.h"

#include <spa/buffer/meta.h>
#include <spa/param/video/format-utils.h>
#include <spa/pod/builder.h>

#include <cerrno>
#include <cstring>
#include <utility>

#include "platform/wayland/pipewire_handles.h"

namespace fenwright::wayland {
namespace {

constexpr int kLargestSide = 16384;

void initPipeWireOnce() {
  static const bool done = [] {
    pw_init(nullptr, nullptr);
    return true;
  }();
  (void)done;
}

bool hasPicture(const pw_buffer* buffer) {
  const spa_buffer* b = buffer->buffer;
  if (b->n_datas < 1 || b->datas[0].data == nullptr || b->datas[0].chunk == nullptr) return false;
  const spa_chunk* chunk = b->datas[0].chunk;
  return chunk->size > 0 && (chunk->flags & SPA_CHUNK_FLAG_CORRUPTED) == 0;
}

}  // namespace

// PipeWire's objects and the listeners it calls back through, released
// stream first, loop last.
struct PipeWireReceiver::Hooks {
  PwLoop loop;
  PwContext context;
  PwCore core;
  PwStream stream;
  spa_hook coreListener{};
  spa_hook streamListener{};
  pw_core_events coreEvents{};
  pw_stream_events streamEvents{};
};

Expected<std::unique_ptr<PipeWireReceiver>> PipeWireReceiver::connect(UniqueFd remote,
                                                                      std::uint32_t node,
                                                                      int maxFramesPerSecond,
                                                                      Events events) {
  initPipeWireOnce();
  std::unique_ptr<PipeWireReceiver> self(new PipeWireReceiver());
  self->events_ = std::move(events);
  self->hooks_ = std::make_unique<Hooks>();
  Hooks& h = *self->hooks_;
  h.loop.reset(pw_loop_new(nullptr));
  if (!h.loop) return unexpected(std::string("cannot make a PipeWire loop: ") + std::strerror(errno));
  h.context.reset(pw_context_new(h.loop.get(), nullptr, 0));
  if (!h.context) return unexpected(std::string("cannot make a PipeWire context"));
  // The core owns the descriptor from here on.
  h.core.reset(pw_context_connect_fd(h.context.get(), remote.release(), nullptr, 0));
  if (!h.core)
    return unexpected(std::string("cannot reach PipeWire through the portal: ") +
                      std::strerror(errno));

  h.coreEvents.version = PW_VERSION_CORE_EVENTS;
  h.coreEvents.error = [](void* data, std::uint32_t id, int, int res, const char* message) {
    auto* receiver = static_cast<PipeWireReceiver*>(data);
    if (id == PW_ID_CORE && res == -EPIPE) receiver->onStateChanged(PW_STREAM_STATE_ERROR, message);
  };
  pw_core_add_listener(h.core.get(), &h.coreListener, &h.coreEvents, self.get());

  h.stream.reset(pw_stream_new(
      h.core.get(), "fenwright",
      pw_properties_new(PW_KEY_MEDIA_TYPE, "Video", PW_KEY_MEDIA_CATEGORY, "Capture",
                        PW_KEY_MEDIA_ROLE, "Screen", nullptr)));
  if (!h.stream) return unexpected(std::string("cannot make a PipeWire stream"));
  h.streamEvents.version = PW_VERSION_STREAM_EVENTS;
  h.streamEvents.state_changed = [](void* data, pw_stream_state, pw_stream_state state,
                                    const char* error) {
    static_cast<PipeWireReceiver*>(data)->onStateChanged(state, error);
  };
  h.streamEvents.param_changed = [](void* data, std::uint32_t id, const spa_pod* param) {
    static_cast<PipeWireReceiver*>(data)->onParamChanged(id, param);
  };
  h.streamEvents.remove_buffer = [](void* data, pw_buffer* buffer) {
    auto* receiver = static_cast<PipeWireReceiver*>(data);
    if (receiver->held_ == buffer) receiver->held_ = nullptr;
  };
  h.streamEvents.process = [](void* data) {
    auto* receiver = static_cast<PipeWireReceiver*>(data);
    if (receiver->events_.frameReady) receiver->events_.frameReady();
  };
  pw_stream_add_listener(h.stream.get(), &h.streamListener, &h.streamEvents, self.get());

  std::uint8_t storage[1024];
  spa_pod_builder builder{};
  spa_pod_builder_init(&builder, storage, sizeof(storage));
  spa_rectangle size{1280, 720}, smallest{1, 1}, largest{kLargestSide, kLargestSide};
  spa_fraction rate{static_cast<std::uint32_t>(maxFramesPerSecond), 1}, none{0, 1},
      slowest{1, 1};
  const spa_pod* params[1];
  params[0] = static_cast<const spa_pod*>(spa_pod_builder_add_object(
      &builder, SPA_TYPE_OBJECT_Format, SPA_PARAM_EnumFormat,
      SPA_FORMAT_mediaType, SPA_POD_Id(SPA_MEDIA_TYPE_video),
      SPA_FORMAT_mediaSubtype, SPA_POD_Id(SPA_MEDIA_SUBTYPE_raw),
      SPA_FORMAT_VIDEO_format,
      SPA_POD_CHOICE_ENUM_Id(3, SPA_VIDEO_FORMAT_BGRx, SPA_VIDEO_FORMAT_BGRx, SPA_VIDEO_FORMAT_BGRA),
      SPA_FORMAT_VIDEO_size, SPA_POD_CHOICE_RANGE_Rectangle(&size, &smallest, &largest),
      SPA_FORMAT_VIDEO_framerate, SPA_POD_CHOICE_RANGE_Fraction(&none, &none, &rate),
      SPA_FORMAT_VIDEO_maxFramerate, SPA_POD_CHOICE_RANGE_Fraction(&rate, &slowest, &rate)));
  int r = pw_stream_connect(
      h.stream.get(), PW_DIRECTION_INPUT, node,
      static_cast<pw_stream_flags>(PW_STREAM_FLAG_AUTOCONNECT | PW_STREAM_FLAG_MAP_BUFFERS),
      params, 1);
  if (r < 0)
    return unexpected(std::string("cannot connect to the portal's stream: ") + std::strerror(-r));
  return self;
}

PipeWireReceiver::~PipeWireReceiver() {
  if (!hooks_) return;
  if (held_ != nullptr && hooks_->stream) pw_stream_queue_buffer(hooks_->stream.get(), held_);
  if (hooks_->stream) spa_hook_remove(&hooks_->streamListener);
  if (hooks_->core) spa_hook_remove(&hooks_->coreListener);
}

int PipeWireReceiver::descriptor() const { return pw_loop_get_fd(hooks_->loop.get()); }

void PipeWireReceiver::iterate() {
  pw_loop* loop = hooks_->loop.get();
  pw_loop_enter(loop);
  while (pw_loop_iterate(loop, 0) > 0) {
  }
  pw_loop_leave(loop);
}

void PipeWireReceiver::onParamChanged(std::uint32_t id, const void* param) {
  if (id != SPA_PARAM_Format || param == nullptr) return;
  spa_video_info_raw info{};
  if (spa_format_video_raw_parse(static_cast<const spa_pod*>(param), &info) < 0) return;
  width_ = static_cast<int>(info.size.width);
  height_ = static_cast<int>(info.size.height);

  std::uint8_t storage[512];
  spa_pod_builder builder{};
  spa_pod_builder_init(&builder, storage, sizeof(storage));
  const spa_pod* params[2];
  params[0] = static_cast<const spa_pod*>(spa_pod_builder_add_object(
      &builder, SPA_TYPE_OBJECT_ParamBuffers, SPA_PARAM_Buffers,
      SPA_PARAM_BUFFERS_buffers, SPA_POD_CHOICE_RANGE_Int(4, 2, 8),
      SPA_PARAM_BUFFERS_dataType,
      SPA_POD_CHOICE_FLAGS_Int((1 << SPA_DATA_MemFd) | (1 << SPA_DATA_MemPtr))));
  params[1] = static_cast<const spa_pod*>(spa_pod_builder_add_object(
      &builder, SPA_TYPE_OBJECT_ParamMeta, SPA_PARAM_Meta,
      SPA_PARAM_META_type, SPA_POD_Id(SPA_META_VideoCrop),
      SPA_PARAM_META_size, SPA_POD_Int(sizeof(spa_meta_region))));
  pw_stream_update_params(hooks_->stream.get(), params, 2);
}

void PipeWireReceiver::onStateChanged(int state, const char* error) {
  if (ended_) return;
  if (state != PW_STREAM_STATE_ERROR && state != PW_STREAM_STATE_UNCONNECTED) return;
  ended_ = true;
  if (events_.ended)
    events_.ended(error != nullptr ? std::string("PipeWire: ") + error
                                   : std::string("the PipeWire stream was disconnected"));
}

std::optional<ImageView> PipeWireReceiver::viewOf(pw_buffer* buffer) const {
  const spa_buffer* b = buffer->buffer;
  const spa_data& data = b->datas[0];
  const spa_chunk* chunk = data.chunk;
  if (width_ < 1 || height_ < 1) return std::nullopt;
  const int stride = chunk->stride > 0 ? chunk->stride : width_ * 4;
  if (static_cast<std::uint64_t>(chunk->offset) + static_cast<std::uint64_t>(stride) * height_ >
      data.maxsize)
    return std::nullopt;
  int x = 0, y = 0, w = width_, h = height_;
  if (auto* crop = static_cast<spa_meta_region*>(
          spa_buffer_find_meta_data(b, SPA_META_VideoCrop, sizeof(spa_meta_region)));
      crop != nullptr && crop->region.size.width > 0 && crop->region.size.height > 0) {
    x = std::max(0, crop->region.position.x);
    y = std::max(0, crop->region.position.y);
    w = std::min<int>(static_cast<int>(crop->region.size.width), width_ - x);
    h = std::min<int>(static_cast<int>(crop->region.size.height), height_ - y);
    if (w < 1 || h < 1) return std::nullopt;
  }
  const auto* base = static_cast<const std::uint8_t*>(data.data) + chunk->offset;
  return ImageView{w, h, stride, base + static_cast<long>(y) * stride + x * 4};
}

std::optional<ImageView> PipeWireReceiver::takeNewest() {
  if (ended_) return std::nullopt;
  pw_stream* stream = hooks_->stream.get();
  pw_buffer* newest = nullptr;
  std::optional<ImageView> view;
  while (pw_buffer* buffer = pw_stream_dequeue_buffer(stream)) {
    std::optional<ImageView> seen = hasPicture(buffer) ? viewOf(buffer) : std::nullopt;
    if (!seen) {
      pw_stream_queue_buffer(stream, buffer);
      continue;
    }
    if (newest != nullptr) pw_stream_queue_buffer(stream, newest);
    newest = buffer;
    view = seen;
  }
  if (newest == nullptr) return std::nullopt;
  if (held_ != nullptr) pw_stream_queue_buffer(stream, held_);
  held_ = newest;
  return view;
}

std::optional<ImageView> PipeWireReceiver::current() const {
  if (held_ == nullptr || ended_) return std::nullopt;
  return viewOf(held_);
}

}  // namespace fenwright::wayland
