#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <optional>

#include "platform/expected.h"
#include "platform/unique_fd.h"
#include "tools/client/mapped_surface.h"

namespace fenwright::client {

// One connection to the helper. The helper serves as long as the connection
// is open and exits when it closes, so keep one client for as long as you
// read frames. Move-only.
class FenwrightClient {
 public:
  // $XDG_RUNTIME_DIR/Q2WXR7TZ4M.com.quenfield.app.pipmode, if the runtime
  // directory is ours and private.
  static Expected<std::filesystem::path> defaultSocketPath();

  static Expected<FenwrightClient> connect();
  static Expected<FenwrightClient> connect(const std::filesystem::path& socketPath);

  FenwrightClient(FenwrightClient&&) noexcept = default;
  FenwrightClient& operator=(FenwrightClient&&) noexcept = default;

  // Asks for the surface and maps it read-only. An empty optional when the
  // helper has none (a nil reply); an error for an error reply, a reply
  // that does not check out, a closed connection or no reply in `timeout`.
  Expected<std::optional<MappedSurface>> fetchSurface(
      std::chrono::milliseconds timeout = std::chrono::seconds(5));

 private:
  explicit FenwrightClient(UniqueFd socket) : socket_(std::move(socket)) {}

  UniqueFd socket_;
  std::uint32_t nextRequestId_ = 1;
};

}  // namespace fenwright::client
