#pragma once

#include <pipewire/pipewire.h>

#include <memory>

#include "platform/c_deleter.h"

namespace fenwright::wayland {

using PwLoop = std::unique_ptr<pw_loop, CDeleter<&pw_loop_destroy>>;
using PwContext = std::unique_ptr<pw_context, CDeleter<&pw_context_destroy>>;
using PwCore = std::unique_ptr<pw_core, CDeleter<&pw_core_disconnect>>;
using PwStream = std::unique_ptr<pw_stream, CDeleter<&pw_stream_destroy>>;

}  // namespace fenwright::wayland
