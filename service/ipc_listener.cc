#include "service/ipc_listener.h"

#include <array>
#include <atomic>
#include <cassert>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <system_error>
#include <type_traits>
#include <utility>

#include <asio/error.hpp>
#include <asio/steady_timer.hpp>
#include <fmt/format.h>

#include "platform/dispatch/serial_queue.h"
#include "platform/ipc/fd_watcher.h"
#include "platform/ipc/peer_credentials.h"
#include "platform/ipc/runtime_directory.h"
#include "platform/ipc/seq_packet_socket.h"
#include "platform/ipc/systemd_activation.h"
#include "platform/ipc/unix_listen_socket.h"
#include "platform/log/logger.h"
#include "platform/shared_surface.h"
#include "protocol/wire_protocol.h"

namespace fenwright {
namespace {

using namespace std::chrono_literals;

constexpr const char* kQueueLabel = "com.quenfield.app.fenwright.ipc";
// Work done per turn before other connections get theirs.
constexpr std::size_t kRequestsPerTurn = 32;
constexpr std::size_t kAcceptsPerTurn = 64;
// Room to receive, and close, descriptors a client should not have sent.
constexpr std::size_t kMaxClientFds = 16;
// Out of descriptors, the pending client waits in the backlog meanwhile.
constexpr auto kAcceptBackoff = 100ms;
// A hostile client must not be able to flood the log.
constexpr int kProblemLinesPerConnection = 20;
constexpr auto kRefusalSummaryInterval = 60s;
// The kernel holds what one user has in flight in socket queues to that
// user's RLIMIT_NOFILE. A reply it has no room for waits, is tried again
// whenever one of ours is read and at least this often, and after a while
// goes out as an error the client can ask again on.
constexpr auto kNoRoomRetry = 100ms;
constexpr auto kNoRoomPatience = 1s;

// The control page as clients read it, per the wire protocol.
static_assert(std::is_standard_layout_v<SurfaceControl>);
static_assert(offsetof(SurfaceControl, seed) == 0 && offsetof(SurfaceControl, magic) == 4 &&
              offsetof(SurfaceControl, width) == 8 && offsetof(SurfaceControl, height) == 12 &&
              offsetof(SurfaceControl, bytesPerRow) == 16 &&
              offsetof(SurfaceControl, pixelFormat) == 20 &&
              sizeof(SurfaceControl) == wire::kControlHeaderSize);
static_assert(SurfaceControl::kMagic == wire::kControlMagic);
static_assert(SharedSurface::kPixelFormatBGRA == wire::kPixelFormatBGRA);

std::string errorText(int error) { return std::system_category().message(error); }

class ListenerCore;

// One client connection; all of it lives on the listener's queue.
//
// Replies go out in request order, and at most one reply with descriptors
// is unread on a connection: until the client has read it (nothing of ours
// left in its queue, per unreadBytes) no further request is read, so a
// client that never reads holds two descriptors in flight, not a queue
// full, and its later requests wait in its own socket.
class Connection final : public IpcConnection, public std::enable_shared_from_this<Connection> {
 public:
  Connection(std::weak_ptr<ListenerCore> core, SerialQueue& queue, UniqueFd socket,
             PeerCredentials peer, std::uint64_t serial)
      : core_(std::move(core)),
        queue_(queue),
        socket_(std::move(socket)),
        peer_(peer),
        serial_(serial),
        retry_(queue.executor()) {}

  int processIdentifier() const override { return peer_.pid; }

  void setExportedObject(std::weak_ptr<PiPSurfaceProtocol> object) override {
    onQueue([object = std::move(object)](Connection& self) { self.exported_ = object; });
  }
  void setInvalidationHandler(std::function<void()> handler) override {
    onQueue([handler = std::move(handler)](Connection& self) {
      self.invalidationHandler_ = handler;
    });
  }
  // Kept, never called: the peer's end going away is final on a Unix socket,
  // so the listener's side of a connection is invalidated, not interrupted.
  void setInterruptionHandler(std::function<void()> handler) override {
    onQueue([handler = std::move(handler)](Connection& self) {
      self.interruptionHandler_ = handler;
    });
  }
  // Reading starts on a later turn of the queue, so the delegate that calls
  // this from its accept is never re-entered before it has returned.
  void resume() override {
    queue_.async([weak = weak_from_this()] {
      if (auto self = weak.lock()) self->start();
    });
  }

  // The listener is going away: close without calling any handler.
  void close() {
    closed_ = true;
    retry_.cancel();
    watcher_.reset();
    socket_.reset();
    invalidationHandler_ = nullptr;
    interruptionHandler_ = nullptr;
  }

  // Moves on with what waits: a reply read, room to send, a retry.
  void resumeReplies() {
    if (closed_) return;
    auto self = shared_from_this();
    if (replyUnread_ && unreadBytes(socket_) == 0) {
      replyUnread_ = false;
      roomFreed();
    }
    if (outgoing_ && !replyUnread_) send();
    readRequests();
  }

  // Whether this connection still waits for room to pass descriptors.
  bool waitsForRoom() const { return !closed_ && outgoing_ && outgoing_->refusedSince; }

 private:
  template <class Block>
  void onQueue(Block block) {
    if (queue_.isCurrent()) {
      block(*this);
      return;
    }
    queue_.async([weak = weak_from_this(), block = std::move(block)]() mutable {
      if (auto self = weak.lock()) block(*self);
    });
  }

  void start() {
    assert(queue_.isCurrent());
    if (resumed_ || closed_) return;
    resumed_ = true;
    watcher_ = std::make_unique<FdWatcher>(queue_.executor(), socket_);
    if (!watcher_->valid()) {
      problem(fmt::format("connection pid={}: cannot watch the socket: {}", peer_.pid,
                          watcher_->error().message()));
      invalidate();
      return;
    }
    readRequests();
  }

  void waitForRequests() {
    if (readWaitArmed_) return;
    readWaitArmed_ = true;
    watcher_->asyncWaitReadable([weak = weak_from_this()](std::error_code error) {
      auto self = weak.lock();
      if (!self || self->closed_ || error == asio::error::operation_aborted) return;
      self->readWaitArmed_ = false;
      if (error) {
        self->problem(fmt::format("connection pid={}: waiting for requests failed: {}",
                                  self->peer_.pid, error.message()));
        self->invalidate();
        return;
      }
      self->readRequests();
    });
  }

  void readRequests() {
    // A handler below may drop the last other reference.
    auto self = shared_from_this();
    for (std::size_t i = 0; i < kRequestsPerTurn; ++i) {
      if (closed_) return;
      if (outgoing_ || replyUnread_) {
        awaitReplies();
        return;
      }
      ReceivedPacket packet = receivePacket(socket_, wire::kRequestSize, kMaxClientFds);
      switch (packet.status) {
        case ReceivedPacket::Status::message:
          handle(packet);
          break;
        case ReceivedPacket::Status::wouldBlock:
          waitForRequests();
          return;
        case ReceivedPacket::Status::closed:
          invalidate();
          return;
        case ReceivedPacket::Status::failed:
          problem(fmt::format("connection pid={}: receive failed: {}", peer_.pid,
                              errorText(packet.error)));
          invalidate();
          return;
      }
    }
    queue_.async([weak = weak_from_this()] {
      if (auto again = weak.lock(); again && !again->closed_) again->readRequests();
    });
  }

  void handle(ReceivedPacket& packet) {
    wire::RequestDecoding decoded = wire::decodeRequest(packet.bytes, packet.size);
    if (!packet.fds.empty() || packet.controlTruncated) {
      std::size_t count = packet.fds.size();
      packet.fds.clear();  // closed unread
      std::string reason =
          packet.controlTruncated
              ? fmt::format("request carried more than {} descriptors or other control data",
                            count)
              : fmt::format("request carried {} descriptor(s)", count);
      problem(fmt::format("connection pid={}: {}; closed them unread — replied with an error",
                          peer_.pid, reason));
      sendError(decoded.requestId, wire::ErrorCode::descriptorsNotAccepted,
                "descriptors are not accepted; closed unread");
      return;
    }
    if (!decoded.request) {
      problem(fmt::format("connection pid={}: malformed request: {} — replied with an error",
                          peer_.pid, decoded.reason));
      sendError(decoded.requestId, decoded.error, decoded.reason);
      return;
    }
    serveFetch(decoded.request->requestId);
  }

  void serveFetch(std::uint32_t requestId) {
    auto object = exported_.lock();
    if (!object) {
      problem(fmt::format("connection pid={}: no object is exported — replied with an error",
                          peer_.pid));
      sendError(requestId, wire::ErrorCode::serviceUnavailable,
                "no object is exported on this connection");
      return;
    }
    // The reply is due before fetchSurface returns; a second or late call
    // must not touch a connection it cannot know is still there.
    enum : int { pending, answered, expired };
    auto state = std::make_shared<std::atomic<int>>(pending);
    int pid = peer_.pid;
    object->fetchSurface([this, state, pid, requestId](const SharedSurface* surface) {
      int expected = pending;
      if (!state->compare_exchange_strong(expected, answered)) {
        log::helperLogger().error("connection pid={}: fetchSurface reply ignored — {}", pid,
                                  expected == answered ? "it replied twice"
                                                       : "it replied after returning");
        return;
      }
      sendSurface(requestId, surface);
    });
    int expected = pending;
    if (state->compare_exchange_strong(expected, expired)) {
      problem(fmt::format("connection pid={}: fetchSurface returned without a reply — replied "
                          "with an error",
                          peer_.pid));
      sendError(requestId, wire::ErrorCode::serviceUnavailable, "the service did not reply");
    }
  }

  void sendSurface(std::uint32_t requestId, const SharedSurface* surface) {
    wire::Reply reply;
    reply.requestId = requestId;
    if (surface == nullptr) {
      reply.kind = wire::ReplyKind::nil;
      queueReply(Outgoing(wire::encodeReply(reply)));
      return;
    }
    reply.kind = wire::ReplyKind::surface;
    reply.surface = wire::SurfaceDescription{
        surface->id(),
        surface->width(),
        surface->height(),
        surface->bytesPerRow(),
        static_cast<std::uint64_t>(surface->allocationSize()),
        SharedSurface::kPixelFormatBGRA,
        static_cast<std::uint32_t>(SharedSurface::kControlSize),
    };
    queueReply(Outgoing(wire::encodeReply(reply), surface, requestId));
  }

  void sendError(std::uint32_t requestId, wire::ErrorCode code, std::string message) {
    queueReply(Outgoing(errorReply(requestId, code, std::move(message))));
  }

  static std::array<std::uint8_t, wire::kReplySize> errorReply(std::uint32_t requestId,
                                                              wire::ErrorCode code,
                                                              std::string message) {
    wire::Reply reply;
    reply.kind = wire::ReplyKind::error;
    reply.requestId = requestId;
    reply.error = code;
    reply.message = std::move(message);
    return wire::encodeReply(reply);
  }

  struct Outgoing {
    explicit Outgoing(std::array<std::uint8_t, wire::kReplySize> reply,
                      const SharedSurface* with = nullptr, std::uint32_t id = 0)
        : bytes(reply), surface(with), requestId(id) {}
    std::array<std::uint8_t, wire::kReplySize> bytes;
    // Set for a surface reply: its descriptors are opened as it goes out.
    const SharedSurface* surface = nullptr;
    std::uint32_t requestId = 0;
    std::optional<std::chrono::steady_clock::time_point> refusedSince;
  };

  void queueReply(Outgoing reply) {
    if (closed_) return;
    assert(!outgoing_ && !replyUnread_);
    outgoing_ = std::move(reply);
    send();
  }

  // Tries the waiting reply once; what stops it arms what brings it back.
  void send() {
    Outgoing& reply = *outgoing_;
    SendOutcome outcome;
    if (reply.surface != nullptr) {
      // The exported object owns the surface: keep it while its
      // descriptors are opened.
      auto object = exported_.lock();
      if (!object) {
        reply = Outgoing(errorReply(reply.requestId, wire::ErrorCode::serviceUnavailable,
                                    "no object is exported on this connection"));
        send();
        return;
      }
      // Fresh read-only descriptors each time: what the client gets it
      // owns, and it cannot write through them.
      auto pixels = reply.surface->openPixelsReadOnly();
      auto control = reply.surface->openControlReadOnly();
      if (pixels && control) {
        const UniqueFd* fds[] = {&*pixels, &*control};
        outcome = sendPacket(socket_, reply.bytes, fds);
      } else {
        outcome = {SendOutcome::Status::noRoom, EMFILE};
      }
    } else {
      outcome = sendPacket(socket_, reply.bytes);
    }
    switch (outcome.status) {
      case SendOutcome::Status::sent:
        replyUnread_ = reply.surface != nullptr;
        outgoing_.reset();
        retryArmed_ = false;
        retry_.cancel();
        break;
      case SendOutcome::Status::wouldBlock:
        // Its queue is full of replies it has not read: wait for it to read.
        break;
      case SendOutcome::Status::peerGone:
        // Reading notices the end too, and invalidates once.
        outgoing_.reset();
        break;
      case SendOutcome::Status::noRoom:
        noRoom(outcome.error);
        break;
      case SendOutcome::Status::failed:
        problem(fmt::format("connection pid={}: reply dropped — {}", peer_.pid,
                            errorText(outcome.error)));
        outgoing_.reset();
        break;
    }
  }

  void noRoom(int error) {
    Outgoing& reply = *outgoing_;
    auto now = std::chrono::steady_clock::now();
    if (!reply.refusedSince) reply.refusedSince = now;
    if (now - *reply.refusedSince < kNoRoomPatience) {
      retryLater();
      return;
    }
    if (reply.surface == nullptr) {
      problem(fmt::format("connection pid={}: reply dropped — {}", peer_.pid, errorText(error)));
      outgoing_.reset();
      return;
    }
    problem(fmt::format("connection pid={}: no room to pass the surface's descriptors: {} — "
                        "replied with an error",
                        peer_.pid, errorText(error)));
    reply = Outgoing(errorReply(reply.requestId, wire::ErrorCode::surfaceUnavailable,
                                "too many descriptors in flight; ask again"));
    send();
  }

  void retryLater();

  // Once the client has read what it was sent, the next reply or request
  // may go on.
  void awaitReplies() {
    if (closed_ || retryArmed_ || writeWaitArmed_) return;
    writeWaitArmed_ = true;
    watcher_->asyncWaitWritable([weak = weak_from_this()](std::error_code error) {
      auto self = weak.lock();
      if (!self || self->closed_ || error == asio::error::operation_aborted) return;
      self->writeWaitArmed_ = false;
      if (error) {
        self->problem(fmt::format("connection pid={}: waiting to reply failed: {}",
                                  self->peer_.pid, error.message()));
        self->invalidate();
        return;
      }
      self->resumeReplies();
    });
  }

  void roomFreed();

  void problem(const std::string& line) {
    if (problemLines_ < kProblemLinesPerConnection) {
      ++problemLines_;
      log::helperLogger().error("{}", line);
    } else if (problemLines_ == kProblemLinesPerConnection) {
      ++problemLines_;
      log::helperLogger().error("connection pid={}: further problems on it are not logged",
                                peer_.pid);
    }
  }

  void invalidate();

  std::weak_ptr<ListenerCore> core_;
  SerialQueue& queue_;
  UniqueFd socket_;
  std::unique_ptr<FdWatcher> watcher_;  // declared after socket_: goes first
  PeerCredentials peer_;
  std::uint64_t serial_;
  std::weak_ptr<PiPSurfaceProtocol> exported_;
  std::function<void()> invalidationHandler_;
  std::function<void()> interruptionHandler_;
  asio::steady_timer retry_;
  std::optional<Outgoing> outgoing_;  // not sent yet; nothing is read meanwhile
  bool replyUnread_ = false;          // the last reply carried descriptors
  bool retryArmed_ = false;
  bool readWaitArmed_ = false;
  bool writeWaitArmed_ = false;
  bool resumed_ = false;
  bool closed_ = false;
  int problemLines_ = 0;
};

// The listening side; lives on the listener's queue.
class ListenerCore final : public std::enable_shared_from_this<ListenerCore> {
 public:
  ListenerCore(IpcListener& owner, std::shared_ptr<SerialQueue> queue, UnixListenSocket socket)
      : ownQueue_(std::move(queue)),
        owner_(owner),
        queue_(*ownQueue_),
        socket_(std::move(socket)),
        backoff_(ownQueue_->executor()),
        refusalSummary_(ownQueue_->executor()),
        ourUid_(currentUserId()) {}

  void setDelegate(std::weak_ptr<IpcListenerDelegate> delegate) {
    assert(queue_.isCurrent());
    delegate_ = std::move(delegate);
  }

  void resume() {
    assert(queue_.isCurrent());
    if (resumed_ || !socket_) return;
    resumed_ = true;
    watcher_ = std::make_unique<FdWatcher>(queue_.executor(), socket_->fd());
    if (!watcher_->valid()) {
      log::helperLogger().error("listener: cannot watch the socket: {} — not listening",
                                watcher_->error().message());
      invalidate();
      return;
    }
    acceptPending();
  }

  // Accepts nothing more; connections already accepted go on.
  void invalidate() {
    assert(queue_.isCurrent());
    backoff_.cancel();
    watcher_.reset();
    socket_.reset();
    resumed_ = false;
  }

  void shutdown() {
    invalidate();
    refusalSummary_.cancel();
    summariseRefusals();
    auto connections = std::move(connections_);
    connections_.clear();
    for (auto& [serial, connection] : connections) connection->close();
  }

  void forget(std::uint64_t serial) { connections_.erase(serial); }

  // Connections whose surface reply found no room, in the order they
  // found none.
  void waitForRoom(const std::shared_ptr<Connection>& connection) {
    for (auto& waiting : waitingForRoom_)
      if (waiting.lock() == connection) return;
    waitingForRoom_.push_back(connection);
  }

  // A reply of ours was read: its descriptors left the queues, so the
  // next waiting reply may fit. The one it does not fit stays first.
  void roomFreed() {
    while (!waitingForRoom_.empty()) {
      auto connection = waitingForRoom_.front().lock();
      waitingForRoom_.pop_front();
      if (!connection || !connection->waitsForRoom()) continue;
      connection->resumeReplies();
      if (connection->waitsForRoom()) {
        waitingForRoom_.push_front(connection);
        return;
      }
    }
  }

 private:
  void acceptPending() {
    auto self = shared_from_this();
    for (std::size_t i = 0; i < kAcceptsPerTurn; ++i) {
      if (!socket_ || !resumed_) return;
      UnixListenSocket::Accepted accepted = socket_->accept();
      switch (accepted.status) {
        case UnixListenSocket::Accepted::Status::accepted:
          if (acceptTrouble_) {
            acceptTrouble_ = false;
            log::helperLogger().info("listener: accepting connections again");
          }
          admit(std::move(accepted.fd));
          break;
        case UnixListenSocket::Accepted::Status::transient:
          break;
        case UnixListenSocket::Accepted::Status::wouldBlock:
          waitForConnections();
          return;
        case UnixListenSocket::Accepted::Status::outOfDescriptors:
        case UnixListenSocket::Accepted::Status::failed:
          if (!acceptTrouble_) {
            acceptTrouble_ = true;
            log::helperLogger().error("listener: accept failed: {} — retrying every {} ms",
                                      accepted.reason, kAcceptBackoff.count());
          }
          backOff();
          return;
      }
    }
    queue_.async([weak = weak_from_this()] {
      if (auto again = weak.lock()) again->acceptPending();
    });
  }

  void waitForConnections() {
    watcher_->asyncWaitReadable([weak = weak_from_this()](std::error_code error) {
      auto self = weak.lock();
      if (!self || error == asio::error::operation_aborted) return;
      if (error) {
        log::helperLogger().error("listener: waiting for connections failed: {}",
                                  error.message());
        self->backOff();
        return;
      }
      self->acceptPending();
    });
  }

  void backOff() {
    backoff_.expires_after(kAcceptBackoff);
    backoff_.async_wait([weak = weak_from_this()](const std::error_code& error) {
      if (error) return;
      if (auto self = weak.lock()) self->acceptPending();
    });
  }

  void admit(UniqueFd fd) {
    auto peer = peerCredentials(fd);
    if (!peer) {
      log::helperLogger().error("listener: refusing a connection — its credentials are unknown");
      return;
    }
    if (peer->uid != ourUid_) {
      refuseStranger(*peer);
      return;
    }
    auto delegate = delegate_.lock();
    if (!delegate) {
      log::helperLogger().error("listener: refusing connection from pid={} — no delegate",
                                peer->pid);
      return;
    }
    std::uint64_t serial = nextSerial_++;
    auto connection =
        std::make_shared<Connection>(weak_from_this(), queue_, std::move(fd), *peer, serial);
    connections_.emplace(serial, connection);
    if (!delegate->listenerShouldAcceptNewConnection(owner_, *connection)) {
      log::helperLogger().info("listener: delegate declined connection from pid={}", peer->pid);
      connections_.erase(serial);
      connection->close();
    }
  }

  // Another user can dial as fast as it likes: the first refusal of a
  // minute is logged, the rest counted and summed up when it is over.
  void refuseStranger(const PeerCredentials& peer) {
    if (refusedThisMinute_++ > 0) return;
    log::helperLogger().error("listener: refusing connection from pid={} uid={} — not our user "
                              "(uid={})",
                              peer.pid, peer.uid, ourUid_);
    refusalSummary_.expires_after(kRefusalSummaryInterval);
    refusalSummary_.async_wait([weak = weak_from_this()](const std::error_code& error) {
      if (error) return;
      if (auto self = weak.lock()) self->summariseRefusals();
    });
  }

  void summariseRefusals() {
    if (refusedThisMinute_ > 1) {
      log::helperLogger().error(
          "listener: refused {} connections from other users in the last minute",
          refusedThisMinute_);
    }
    refusedThisMinute_ = 0;
  }

  // First: the queue outlives everything bound to it, and the core outlives
  // the listener object when the shutdown cannot be waited for.
  std::shared_ptr<SerialQueue> ownQueue_;
  IpcListener& owner_;
  SerialQueue& queue_;
  std::optional<UnixListenSocket> socket_;
  std::unique_ptr<FdWatcher> watcher_;
  asio::steady_timer backoff_;
  asio::steady_timer refusalSummary_;
  std::deque<std::weak_ptr<Connection>> waitingForRoom_;
  std::uint64_t refusedThisMinute_ = 0;
  std::uint32_t ourUid_;
  std::weak_ptr<IpcListenerDelegate> delegate_;
  std::map<std::uint64_t, std::shared_ptr<Connection>> connections_;
  std::uint64_t nextSerial_ = 1;
  bool resumed_ = false;
  bool acceptTrouble_ = false;
};

void Connection::retryLater() {
  if (auto core = core_.lock()) core->waitForRoom(shared_from_this());
  retryArmed_ = true;
  retry_.expires_after(kNoRoomRetry);
  retry_.async_wait([weak = weak_from_this()](const std::error_code& error) {
    auto self = weak.lock();
    if (!self || error) return;
    self->retryArmed_ = false;
    self->resumeReplies();
  });
}

// Later on the queue: the waiting connections' retries must not run
// inside this one's.
void Connection::roomFreed() {
  queue_.async([weak = core_] {
    if (auto core = weak.lock()) core->roomFreed();
  });
}

void Connection::invalidate() {
  assert(queue_.isCurrent());
  if (closed_) return;
  auto self = shared_from_this();
  auto handler = std::move(invalidationHandler_);
  close();
  if (auto core = core_.lock()) core->forget(serial_);
  if (handler) handler();
}

class ListenerImpl final : public IpcListener {
 public:
  explicit ListenerImpl(UnixListenSocket socket)
      : queue_(std::make_shared<SerialQueue>(kQueueLabel)),
        core_(std::make_shared<ListenerCore>(*this, queue_, std::move(socket))) {}

  // Not from the listener's own queue. A caller outside the executor waits
  // for the queue to close everything down; one on it must not wait, and
  // leaves the core to finish on the queue, which it keeps alive.
  ~ListenerImpl() override {
    if (onSharedExecutorThread()) {
      queue_->async([core = std::move(core_)] { core->shutdown(); });
      return;
    }
    queue_->sync([this] {
      core_->shutdown();
      core_.reset();
    });
  }

  void setDelegate(std::weak_ptr<IpcListenerDelegate> delegate) override {
    onQueue([delegate = std::move(delegate)](ListenerCore& core) { core.setDelegate(delegate); });
  }
  void resume() override {
    onQueue([](ListenerCore& core) { core.resume(); });
  }
  // Never waits: the caller may be the queue a connection's handler waits on.
  void invalidate() override {
    onQueue([](ListenerCore& core) { core.invalidate(); });
  }

 private:
  template <class Block>
  void onQueue(Block block) {
    if (queue_->isCurrent()) {
      if (core_) block(*core_);
      return;
    }
    queue_->async([weak = std::weak_ptr<ListenerCore>(core_), block = std::move(block)]() mutable {
      if (auto core = weak.lock()) block(*core);
    });
  }

  std::shared_ptr<SerialQueue> queue_;  // shared with the core
  std::shared_ptr<ListenerCore> core_;
};

}  // namespace

std::unique_ptr<IpcListener> IpcListener::make(std::string_view machServiceName) {
  ActivatedSocket activated = takeActivatedSocket();
  if (!activated.problem.empty()) {
    log::helperLogger().error("listener: {} — binding the socket here instead",
                              activated.problem);
  }
  if (activated.socket) {
    std::string where = activated.socket->path().empty() ? std::string("an unnamed socket")
                                                         : activated.socket->path().string();
    log::helperLogger().info("listener: using {} passed by systemd", where);
    return std::make_unique<ListenerImpl>(std::move(*activated.socket));
  }

  auto path = serviceSocketPath(machServiceName);
  if (!path) {
    log::helperLogger().error("listener: {} — not listening", path.error());
    return nullptr;
  }
  auto bound = UnixListenSocket::bindAt(*path);
  if (!bound) {
    log::helperLogger().error("listener: {} — not listening", bound.error());
    return nullptr;
  }
  if (bound->replacedStaleSocket())
    log::helperLogger().info("listener: replaced stale socket {}", path->string());
  return std::make_unique<ListenerImpl>(bound.take());
}

}  // namespace fenwright
