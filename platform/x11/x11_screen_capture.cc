#include "platform/x11/x11_screen_capture.h"

#include <atomic>

#include "platform/capture/queued_capture_stream.h"
#include "platform/x11/x11_stream_core.h"
#include "platform/capture/complete_safely.h"
#include "platform/x11/x11_display_list.h"
#include "platform/x11/x11_query_connection.h"
#include "platform/x11/x11_queue.h"
#include "platform/x11/x11_window_list.h"

namespace fenwright {
namespace {

using x11::x11Queue;

// The main display as of the last query, for callers on the executor,
// which must not wait for the X queue; they ask right after a content query.
struct Queries {
  explicit Queries(std::string displayName) : connection(std::move(displayName)) {}
  x11::X11QueryConnection connection;
  std::atomic<std::uint32_t> mainDisplayID{0};
};

CaptureResult<ShareableContent> queryContent(Queries& queries, bool excludingDesktopWindows,
                                             bool onScreenWindowsOnly) {
  auto connection = queries.connection.get();
  if (!connection) return connection.error();
  auto windows =
      x11::listWindows(*connection.value(), excludingDesktopWindows, onScreenWindowsOnly);
  if (!windows) return windows.error();
  auto displays = x11::listDisplays(*connection.value());
  if (!displays) return displays.error();
  queries.mainDisplayID.store(displays.value().mainDisplayID, std::memory_order_relaxed);
  return ShareableContent{std::move(windows.value()), std::move(displays.value().displays)};
}

class X11ScreenCapture final : public ScreenCapture {
 public:
  explicit X11ScreenCapture(std::string displayName)
      : queries_(std::make_shared<Queries>(std::move(displayName))) {}

  ~X11ScreenCapture() override {
    // The connection is closed on the X queue, where it is used.
    x11Queue().async([queries = std::move(queries_)] {});
  }

  void getShareableContent(bool excludingDesktopWindows, bool onScreenWindowsOnly,
                           Completion<ShareableContent> completion) override {
    x11Queue().async([queries = queries_, excludingDesktopWindows, onScreenWindowsOnly,
                      completion = std::move(completion)]() mutable {
      auto result = queryContent(*queries, excludingDesktopWindows, onScreenWindowsOnly);
      queries->connection.settle();
      completeSafely("x11", completion, std::move(result));
    });
  }

  std::uint32_t mainDisplayID() override {
    if (onSharedExecutorThread()) return queries_->mainDisplayID.load(std::memory_order_relaxed);
    std::uint32_t id = 0;
    x11Queue().sync([&] {
      auto connection = queries_->connection.get();
      if (!connection) return;
      auto displays = x11::listDisplays(*connection.value());
      queries_->connection.settle();
      if (displays) id = displays.value().mainDisplayID;
      queries_->mainDisplayID.store(id, std::memory_order_relaxed);
    });
    return id;
  }

  std::shared_ptr<CaptureStream> makeStream(const ContentFilter& filter,
                                            const StreamConfiguration& configuration,
                                            std::weak_ptr<StreamDelegate> delegate) override {
    return std::make_shared<QueuedCaptureStream<x11::StreamCore>>(
        x11Queue(), std::make_shared<x11::StreamCore>(queries_->connection.displayName(), filter,
                                                      configuration, std::move(delegate)));
  }

 private:
  std::shared_ptr<Queries> queries_;
};

}  // namespace

std::shared_ptr<ScreenCapture> makeX11ScreenCapture() { return makeX11ScreenCapture({}); }

std::shared_ptr<ScreenCapture> makeX11ScreenCapture(std::string displayName) {
  return std::make_shared<X11ScreenCapture>(std::move(displayName));
}

}  // namespace fenwright
