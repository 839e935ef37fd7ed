#include "service/ipc_listener.h"

#include <atomic>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include <fmt/format.h>

#include "platform/dispatch/serial_queue.h"
#include "platform/error_text.h"
#include "platform/ipc/packet_server.h"
#include "platform/ipc/runtime_directory.h"
#include "platform/ipc/systemd_activation.h"
#include "platform/ipc/unix_listen_socket.h"
#include "platform/log/logger.h"
#include "platform/shared_surface.h"
#include "protocol/wire_protocol.h"

namespace fenwright {
namespace {

constexpr const char* kQueueLabel = "com.quenfield.app.fenwright.ipc";

// The control page as clients read it, per the wire protocol.
static_assert(std::is_standard_layout_v<SurfaceControl>);
static_assert(offsetof(SurfaceControl, seed) == 0 && offsetof(SurfaceControl, magic) == 4 &&
              offsetof(SurfaceControl, width) == 8 && offsetof(SurfaceControl, height) == 12 &&
              offsetof(SurfaceControl, bytesPerRow) == 16 &&
              offsetof(SurfaceControl, pixelFormat) == 20 &&
              sizeof(SurfaceControl) == wire::kControlHeaderSize);
static_assert(SurfaceControl::kMagic == wire::kControlMagic);

OutgoingPacket errorPacket(std::uint32_t requestId, wire::ErrorCode code, std::string message) {
  wire::Reply reply;
  reply.kind = wire::ReplyKind::error;
  reply.requestId = requestId;
  reply.error = code;
  reply.message = std::move(message);
  auto bytes = wire::encodeReply(reply);
  return {{bytes.begin(), bytes.end()}, {}, {}};
}

// The service's side of one connection: decodes its requests and vends the
// exported object's surface. Owned by its PacketConnection's handler.
class ServedConnection final : public IpcConnection,
                               public std::enable_shared_from_this<ServedConnection> {
 public:
  ServedConnection(SerialQueue& queue, const std::shared_ptr<PacketConnection>& connection)
      : queue_(queue), connection_(connection), pid_(connection->peer().pid) {}

  int processIdentifier() const override { return pid_; }

  void setExportedObject(std::weak_ptr<PiPSurfaceProtocol> object) override {
    onQueue([object = std::move(object)](ServedConnection& self) { self.exported_ = object; });
  }
  void setInvalidationHandler(std::function<void()> handler) override {
    onQueue([handler = std::move(handler)](ServedConnection& self) {
      if (auto connection = self.connection_.lock()) connection->setInvalidationHandler(handler);
    });
  }
  // Kept, never called: the peer's end going away is final on a Unix socket,
  // so the listener's side of a connection is invalidated, not interrupted.
  void setInterruptionHandler(std::function<void()> handler) override {
    onQueue([handler = std::move(handler)](ServedConnection& self) {
      self.interruptionHandler_ = handler;
    });
  }
  // Reading starts on a later turn of the queue, so the delegate that calls
  // this from its accept is never re-entered before it has returned.
  void resume() override {
    queue_.async([weak = connection_] {
      if (auto connection = weak.lock()) connection->start();
    });
  }

  void handle(PacketConnection& connection, ReceivedPacket& packet) {
    wire::RequestDecoding decoded = wire::decodeRequest(packet.bytes, packet.size);
    if (!packet.fds.empty() || packet.controlTruncated) {
      std::size_t count = packet.fds.size();
      packet.fds.clear();  // closed unread
      std::string reason =
          packet.controlTruncated
              ? fmt::format("request carried more than {} descriptors or other control data",
                            count)
              : fmt::format("request carried {} descriptor(s)", count);
      connection.problem(fmt::format(
          "connection pid={}: {}; closed them unread — replied with an error", pid_, reason));
      connection.reply(errorPacket(decoded.requestId, wire::ErrorCode::descriptorsNotAccepted,
                                   "descriptors are not accepted; closed unread"));
      return;
    }
    if (!decoded.request) {
      connection.problem(fmt::format(
          "connection pid={}: malformed request: {} — replied with an error", pid_,
          decoded.reason));
      connection.reply(errorPacket(decoded.requestId, decoded.error, decoded.reason));
      return;
    }
    serveFetch(connection, decoded.request->requestId);
  }

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

  void serveFetch(PacketConnection& connection, std::uint32_t requestId) {
    auto object = exported_.lock();
    if (!object) {
      connection.problem(fmt::format(
          "connection pid={}: no object is exported — replied with an error", pid_));
      connection.reply(errorPacket(requestId, wire::ErrorCode::serviceUnavailable,
                                   "no object is exported on this connection"));
      return;
    }
    // The reply is due before fetchSurface returns; a second or late call
    // must not touch a connection it cannot know is still there.
    enum : int { pending, answered, expired };
    auto state = std::make_shared<std::atomic<int>>(pending);
    int pid = pid_;
    object->fetchSurface([this, &connection, state, pid, requestId](const SharedSurface* surface) {
      int expected = pending;
      if (!state->compare_exchange_strong(expected, answered)) {
        log::helperLogger().error("connection pid={}: fetchSurface reply ignored — {}", pid,
                                  expected == answered ? "it replied twice"
                                                       : "it replied after returning");
        return;
      }
      connection.reply(surfacePacket(requestId, surface));
    });
    int expected = pending;
    if (state->compare_exchange_strong(expected, expired)) {
      connection.problem(fmt::format(
          "connection pid={}: fetchSurface returned without a reply — replied with an error",
          pid_));
      connection.reply(errorPacket(requestId, wire::ErrorCode::serviceUnavailable,
                                   "the service did not reply"));
    }
  }

  OutgoingPacket surfacePacket(std::uint32_t requestId, const SharedSurface* surface) const {
    wire::Reply reply;
    reply.requestId = requestId;
    if (surface == nullptr) {
      reply.kind = wire::ReplyKind::nil;
      auto bytes = wire::encodeReply(reply);
      return {{bytes.begin(), bytes.end()}, {}, {}};
    }
    reply.kind = wire::ReplyKind::surface;
    reply.surface = wire::SurfaceDescription{
        surface->id(),
        surface->width(),
        surface->height(),
        surface->bytesPerRow(),
        static_cast<std::uint64_t>(surface->allocationSize()),
        kPixelFormatBGRA,
        static_cast<std::uint32_t>(SharedSurface::kControlSize),
    };
    auto bytes = wire::encodeReply(reply);
    OutgoingPacket packet{{bytes.begin(), bytes.end()}, {}, {}};
    // New read-only descriptors at each try: what the client gets it owns,
    // and it cannot write through them. The exported object owns the
    // surface: it is kept while they are made.
    packet.descriptors = [exported = exported_,
                          surface]() -> Expected<std::vector<UniqueFd>, int> {
      auto object = exported.lock();
      if (!object) return unexpected(0);
      auto pixels = surface->openPixelsReadOnly();
      auto control = surface->openControlReadOnly();
      if (!pixels || !control) return unexpected(EMFILE);
      std::vector<UniqueFd> fds;
      fds.push_back(std::move(*pixels));
      fds.push_back(std::move(*control));
      return fds;
    };
    packet.instead = [requestId, pid = pid_](PacketConnection& connection, int error) {
      if (error == 0) {
        return errorPacket(requestId, wire::ErrorCode::serviceUnavailable,
                           "no object is exported on this connection");
      }
      connection.problem(fmt::format("connection pid={}: no room to pass the surface's "
                                     "descriptors: {} — replied with an error",
                                     pid, errorText(error)));
      return errorPacket(requestId, wire::ErrorCode::surfaceUnavailable,
                         "too many descriptors in flight; ask again");
    };
    return packet;
  }

  SerialQueue& queue_;
  std::weak_ptr<PacketConnection> connection_;
  int pid_;
  std::weak_ptr<PiPSurfaceProtocol> exported_;
  std::function<void()> interruptionHandler_;
};

class ListenerImpl final : public IpcListener {
 public:
  explicit ListenerImpl(UnixListenSocket socket)
      : queue_(std::make_shared<SerialQueue>(kQueueLabel, answeringContext())),
        server_(std::make_shared<PacketServer>(*queue_, std::move(socket), wire::kRequestSize)) {
    onQueue([this](PacketServer& server) {
      server.setAdmitHandler(
          [this](const std::shared_ptr<PacketConnection>& connection) { return admit(connection); });
    });
  }

  // Not from the listener's own queue. A caller outside the executor waits
  // for the queue to close everything down; one on it must not wait, and
  // leaves the server to finish on the queue, which the block keeps alive.
  ~ListenerImpl() override {
    if (onSharedExecutorThread()) {
      queue_->async([queue = queue_, server = std::move(server_)] { server->shutdown(); });
      return;
    }
    queue_->sync([this] {
      server_->shutdown();
      server_.reset();
    });
  }

  void setDelegate(std::weak_ptr<IpcListenerDelegate> delegate) override {
    onQueue([this, delegate = std::move(delegate)](PacketServer&) { delegate_ = delegate; });
  }
  void resume() override {
    onQueue([](PacketServer& server) { server.resume(); });
  }
  // Never waits: the caller may be the queue a connection's handler waits on.
  void invalidate() override {
    onQueue([](PacketServer& server) { server.invalidate(); });
  }

 private:
  template <class Block>
  void onQueue(Block block) {
    if (queue_->isCurrent()) {
      if (server_) block(*server_);
      return;
    }
    queue_->async([weak = std::weak_ptr<PacketServer>(server_), block = std::move(block)]() mutable {
      if (auto server = weak.lock()) block(*server);
    });
  }

  bool admit(const std::shared_ptr<PacketConnection>& connection) {
    int pid = connection->peer().pid;
    auto delegate = delegate_.lock();
    if (!delegate) {
      log::helperLogger().error("listener: refusing connection from pid={} — no delegate", pid);
      return false;
    }
    auto served = std::make_shared<ServedConnection>(*queue_, connection);
    connection->setPacketHandler([served](PacketConnection& from, ReceivedPacket& packet) {
      served->handle(from, packet);
    });
    if (!delegate->listenerShouldAcceptNewConnection(*this, *served)) {
      log::helperLogger().info("listener: delegate declined connection from pid={}", pid);
      return false;
    }
    return true;
  }

  std::shared_ptr<SerialQueue> queue_;  // first: it outlives everything bound to it
  std::shared_ptr<PacketServer> server_;
  std::weak_ptr<IpcListenerDelegate> delegate_;  // on the queue
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
  return std::make_unique<ListenerImpl>(std::move(*bound));
}

}  // namespace fenwright
