#include "platform/wayland/wayland_screen_capture.h"

#include <cstdlib>
#include <utility>

#include "platform/capture/complete_safely.h"
#include "platform/log/logger.h"
#include "platform/wayland/portal_session.h"
#include "platform/wayland/portal_token_store.h"
#include "platform/capture/queued_capture_stream.h"
#include "platform/wayland/wayland_stream_core.h"
#include "platform/wayland/wayland_queue.h"

namespace fenwright {
namespace {

using wayland::PortalPick;

class WaylandScreenCapture final : public ScreenCapture {
 public:
  explicit WaylandScreenCapture(std::function<std::optional<PortalPick>()> currentPick)
      : currentPick_(std::move(currentPick)),
        tokens_(wayland::PortalTokenStore::defaultFile()) {}

  void getShareableContent(bool, bool, Completion<ShareableContent> completion) override {
    ShareableContent content;
    if (auto pick = currentPick_()) {
      const std::uint32_t id = wayland::portalPickID(pick->token);
      if (pick->region)
        content.displays.push_back(CaptureDisplay{id, 0, 0, 0, 0});
      else
        content.windows.push_back(CaptureWindow{id, pick->title, true});
    }
    wayland::waylandQueue().async([completion = std::move(completion), content]() mutable {
      completeSafely("wayland", completion, CaptureResult<ShareableContent>(std::move(content)));
    });
  }

  std::uint32_t mainDisplayID() override { return 0; }

  std::shared_ptr<CaptureStream> makeStream(const ContentFilter& filter,
                                            const StreamConfiguration& configuration,
                                            std::weak_ptr<StreamDelegate> delegate) override {
    wayland::PickResolver resolver;
    resolver.pick = [currentPick = currentPick_](std::uint32_t id) -> std::optional<PortalPick> {
      auto pick = currentPick();
      if (!pick || wayland::portalPickID(pick->token) != id) return std::nullopt;
      return pick;
    };
    resolver.tokenFor = [tokens = tokens_](const std::string& pick) {
      return tokens.newest(pick);
    };
    resolver.remember = [tokens = tokens_](const std::string& pick, const std::string& next) {
      if (auto failure = tokens.remember(pick, next); !failure.empty())
        log::helperLogger().error("wayland: cannot keep the next restore token — {}", failure);
    };
    return std::make_shared<QueuedCaptureStream<wayland::StreamCore>>(
        wayland::waylandQueue(), std::make_shared<wayland::StreamCore>(std::move(resolver), filter,
                                                                       configuration,
                                                                       std::move(delegate)));
  }

 private:
  std::function<std::optional<PortalPick>()> currentPick_;
  wayland::PortalTokenStore tokens_;
};

}  // namespace

std::shared_ptr<ScreenCapture> makeWaylandScreenCapture(
    std::function<std::optional<wayland::PortalPick>()> currentPick) {
  return std::make_shared<WaylandScreenCapture>(std::move(currentPick));
}

bool waylandCaptureAvailable() {
  const char* display = std::getenv("WAYLAND_DISPLAY");
  if (display == nullptr || display[0] == '\0') return false;
  return wayland::screenCastPortalReachable();
}

}  // namespace fenwright
