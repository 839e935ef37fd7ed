#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/capture/screen_capture.h"
#include "platform/dispatch/serial_queue.h"
#include "platform/wayland/portal_pick.h"

namespace fenwright::wayland {

class PipeWireReceiver;
class PortalSession;

// What a filter's id stands for now: the pick, and the token to open it
// with; and where the next token goes.
struct PickResolver {
  std::function<std::optional<PortalPick>(std::uint32_t id)> pick;
  std::function<std::string(const std::string& pick)> tokenFor;
  std::function<void(const std::string& pick, const std::string& next)> remember;
};

// Everything one stream is, on the Wayland queue (every member function
// runs there): a portal session for the picked source and the PipeWire
// stream it grants. The compositor sends a picture only when the source
// changed, so a still window costs nothing; the newest is delivered at most
// once per minimum frame interval, one sample out at a time, its buffer
// untouched until the output has returned. Windows come as the producer's
// crop of a monitor-sized buffer; a region is cut from its monitor here.
// A swap closes one session and opens the next; the output keeps the last
// picture meanwhile. Opening waits for the portal on this queue (0.1–1 s
// with a working token, the request's timeout with a dead one): one of the
// executor's threads is taken for that long, the rest of the helper runs on.
class StreamCore : public std::enable_shared_from_this<StreamCore> {
 public:
  StreamCore(PickResolver resolver, ContentFilter filter, StreamConfiguration configuration,
             std::weak_ptr<StreamDelegate> delegate);
  ~StreamCore();
  StreamCore(const StreamCore&) = delete;
  StreamCore& operator=(const StreamCore&) = delete;

  void addOutput(std::weak_ptr<StreamOutput> output, SerialQueue& queue);
  void start(std::weak_ptr<CaptureStream> owner, Completion<Done> completion);
  void updateFilter(const ContentFilter& filter, Completion<Done> completion);
  void stop(Completion<Done> completion);
  void deliverCurrentFrame();
  // The stream object is gone: stop without telling anyone.
  void abandon();

 private:
  class SampleLease;
  enum class State { idle, running, stopped };
  using Clock = std::chrono::steady_clock;

  std::optional<CaptureError> open(const ContentFilter& filter);
  void closeSource();
  void watchSession();
  void watchReceiver();
  void schedule();
  void deliver(const ImageView& picture);
  std::optional<ImageView> regionOf(const ImageView& picture) const;
  void sampleReturned();
  void endWithError(const std::string& reason);
  void finishStop();

  const PickResolver resolver_;
  ContentFilter filter_;
  const StreamConfiguration configuration_;
  const std::weak_ptr<StreamDelegate> delegate_;
  std::weak_ptr<CaptureStream> owner_;
  std::weak_ptr<StreamOutput> output_;
  SerialQueue* outputQueue_ = nullptr;

  State state_ = State::idle;
  std::chrono::nanoseconds interval_{0};
  bool fresh_ = false;
  bool wantCurrent_ = false;
  bool inFlight_ = false;
  bool timerArmed_ = false;
  bool loopDue_ = false;
  bool hasDelivered_ = false;
  Clock::time_point lastDelivery_{};
  std::vector<Completion<Done>> stopWaiters_;
  std::atomic<bool> deliveriesClosed_{false};
  SampleBuffer sample_;
  std::weak_ptr<StreamOutput> deliveryOutput_;
  std::weak_ptr<CaptureStream> deliveryOwner_;

  // The watches go before what they watch.
  std::unique_ptr<PortalSession> session_;
  std::unique_ptr<PipeWireReceiver> receiver_;
  std::optional<QueueDescriptor> sessionWatch_;
  std::optional<QueueDescriptor> receiverWatch_;
  QueueTimer timer_;
};

}  // namespace fenwright::wayland
