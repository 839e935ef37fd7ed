#include "platform/ipc/packet_server.h"

#include <cassert>
#include <chrono>
#include <system_error>
#include <utility>

#include <asio/error.hpp>

#include "platform/dispatch/serial_queue.h"
#include "platform/log/logger.h"

namespace fenwright {
namespace {

using namespace std::chrono_literals;

constexpr std::size_t kAcceptsPerTurn = 64;
// Out of descriptors, the pending peer waits in the backlog meanwhile.
constexpr auto kAcceptBackoff = 100ms;
constexpr auto kRefusalSummaryInterval = 60s;

}  // namespace

PacketServer::PacketServer(SerialQueue& queue, UnixListenSocket socket,
                           std::size_t packetCapacity)
    : queue_(queue),
      socket_(std::move(socket)),
      packetCapacity_(packetCapacity),
      backoff_(queue.executor()),
      refusalSummary_(queue.executor()),
      ourUid_(currentUserId()) {}

void PacketServer::resume() {
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

void PacketServer::invalidate() {
  assert(queue_.isCurrent());
  backoff_.cancel();
  watcher_.reset();
  socket_.reset();
  resumed_ = false;
}

void PacketServer::shutdown() {
  invalidate();
  refusalSummary_.cancel();
  summariseRefusals();
  auto connections = std::move(connections_);
  connections_.clear();
  for (auto& [serial, connection] : connections) connection->close();
}

void PacketServer::waitForRoom(const std::shared_ptr<PacketConnection>& connection) {
  for (auto& waiting : waitingForRoom_)
    if (waiting.lock() == connection) return;
  const bool first = waitingForRoom_.empty();
  waitingForRoom_.push_back(connection);
  // Until now nobody needed to hear of replies being read.
  if (first)
    for (auto& [serial, other] : connections_) other->watchReplies();
}

// A reply of ours was read: its descriptors left the queues, so the next
// waiting reply may fit. The one it does not fit stays first.
void PacketServer::roomFreed() {
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

void PacketServer::acceptPending() {
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

void PacketServer::waitForConnections() {
  watcher_->asyncWaitReadable([weak = weak_from_this()](std::error_code error) {
    auto self = weak.lock();
    if (!self || error == asio::error::operation_aborted) return;
    if (error) {
      log::helperLogger().error("listener: waiting for connections failed: {}", error.message());
      self->backOff();
      return;
    }
    self->acceptPending();
  });
}

void PacketServer::backOff() {
  backoff_.expires_after(kAcceptBackoff);
  backoff_.async_wait([weak = weak_from_this()](const std::error_code& error) {
    if (error) return;
    if (auto self = weak.lock()) self->acceptPending();
  });
}

void PacketServer::admit(UniqueFd fd) {
  auto peer = peerCredentials(fd);
  if (!peer) {
    log::helperLogger().error("listener: refusing a connection — its credentials are unknown");
    return;
  }
  if (peer->uid != ourUid_) {
    refuseStranger(*peer);
    return;
  }
  std::uint64_t serial = nextSerial_++;
  auto connection = std::make_shared<PacketConnection>(weak_from_this(), queue_, std::move(fd),
                                                       *peer, serial, packetCapacity_);
  connections_.emplace(serial, connection);
  if (!admit_ || !admit_(connection)) {
    connections_.erase(serial);
    connection->close();
  }
}

// Another user can dial as fast as it likes: the first refusal of a minute
// is logged, the rest counted and summed up when it is over.
void PacketServer::refuseStranger(const PeerCredentials& peer) {
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

void PacketServer::summariseRefusals() {
  if (refusedThisMinute_ > 1) {
    log::helperLogger().error(
        "listener: refused {} connections from other users in the last minute",
        refusedThisMinute_);
  }
  refusedThisMinute_ = 0;
}

}  // namespace fenwright
