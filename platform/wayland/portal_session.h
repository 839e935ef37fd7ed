#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "platform/expected.h"
#include "platform/unique_fd.h"

namespace fenwright::wayland {

enum class PortalSource { window, monitor };

struct PortalRequest {
  PortalSource source = PortalSource::window;
  // Drawn into the frames by the compositor, or left out.
  bool showsCursor = false;
  // A token of an earlier pick: the same source again, without a dialog.
  std::optional<std::string> restoreToken;
  // How long the user (or a restore) may take; then the request is closed.
  std::chrono::milliseconds timeout{8000};
};

// One started ScreenCast session of the desktop portal, on a session-bus
// connection of its own: it ends when this object goes (the portal closes
// the sessions of a connection that left). Opening blocks until the portal
// answered, the dialog included when there is one.
class PortalSession {
 public:
  static Expected<std::unique_ptr<PortalSession>> open(const PortalRequest& request);
  ~PortalSession();
  PortalSession(const PortalSession&) = delete;
  PortalSession& operator=(const PortalSession&) = delete;

  // The PipeWire remote that reaches the session's stream, once.
  UniqueFd takeRemote();
  std::uint32_t nodeId() const { return nodeId_; }
  // The source's size as the portal told it; 0 when it did not.
  int width() const { return width_; }
  int height() const { return height_; }
  // The token that opens the same source next time (each is good once);
  // empty when the portal gave none.
  const std::string& restoreToken() const { return restoreToken_; }

  // The connection's descriptor: readable when process() has work.
  int descriptor() const;
  // Handles what arrived. False once the portal closed the session (the
  // window went away, or the user stopped the sharing).
  bool process();

 private:
  class Connection;
  explicit PortalSession(std::unique_ptr<Connection> connection);

  std::unique_ptr<Connection> connection_;
  UniqueFd remote_;
  std::uint32_t nodeId_ = 0;
  int width_ = 0;
  int height_ = 0;
  std::string restoreToken_;
};

// True when the session bus has a desktop portal that offers ScreenCast.
bool screenCastPortalReachable();

}  // namespace fenwright::wayland
