#include "platform/ipc/packet_connection.h"

#include <cassert>
#include <cerrno>
#include <system_error>
#include <utility>

#include <asio/error.hpp>
#include <fmt/format.h>

#include "platform/dispatch/serial_queue.h"
#include "platform/error_text.h"
#include "platform/ipc/packet_server.h"
#include "platform/log/logger.h"

namespace fenwright {
namespace {

using namespace std::chrono_literals;

// Work done per turn before other connections get theirs.
constexpr std::size_t kPacketsPerTurn = 32;
// Room to receive, and close, descriptors a peer should not have sent.
constexpr std::size_t kMaxPeerFds = 16;
// A hostile peer must not be able to flood the log.
constexpr int kProblemLinesPerConnection = 20;
// The kernel holds what one user has in flight in socket queues to that
// user's RLIMIT_NOFILE. A reply it has no room for waits, is tried again
// whenever one of ours is read and at least this often, and after a while
// goes out as whatever the reply says instead.
constexpr auto kNoRoomRetry = 100ms;
constexpr auto kNoRoomPatience = 1s;

}  // namespace

PacketConnection::PacketConnection(std::weak_ptr<PacketServer> server, SerialQueue& queue,
                                   UniqueFd socket, PeerCredentials peer, std::uint64_t serial,
                                   std::size_t packetCapacity)
    : server_(std::move(server)),
      queue_(queue),
      socket_(std::move(socket)),
      peer_(peer),
      serial_(serial),
      packetCapacity_(packetCapacity),
      retry_(queue.executor()) {}

void PacketConnection::start() {
  assert(queue_.isCurrent());
  if (started_ || closed_) return;
  started_ = true;
  watcher_ = std::make_unique<FdWatcher>(queue_.executor(), socket_);
  if (!watcher_->valid()) {
    problem(fmt::format("connection pid={}: cannot watch the socket: {}", peer_.pid,
                        watcher_->error().message()));
    invalidate();
    return;
  }
  readPackets();
}

void PacketConnection::close() {
  closed_ = true;
  retry_.cancel();
  watcher_.reset();
  socket_.reset();
  packetHandler_ = nullptr;
  invalidationHandler_ = nullptr;
}

void PacketConnection::resumeReplies() {
  if (closed_) return;
  auto self = shared_from_this();
  replyRead();
  if (outgoing_ && !replyUnread_) send();
  readPackets();
}

bool PacketConnection::replyRead() {
  if (!replyUnread_) return true;
  if (unreadBytes(socket_) != 0) return false;
  replyUnread_ = false;
  roomFreed();
  return true;
}

// Learning at once that the peer read our reply costs a wait for room to
// write, and a wake for every reply: worth it only while some reply waits
// for that room. Otherwise the peer's next packet brings us back, and the
// reply is checked then; one already queued ends the wait at once.
void PacketConnection::awaitReplyOrPacket() {
  auto server = server_.lock();
  if (server && server->awaitsRoom())
    awaitReplies();
  else
    waitForPackets();
}

void PacketConnection::waitForPackets() {
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
    self->readPackets();
  });
}

void PacketConnection::readPackets() {
  // A handler below may drop the last other reference.
  auto self = shared_from_this();
  for (std::size_t i = 0; i < kPacketsPerTurn; ++i) {
    if (closed_) return;
    if (outgoing_ || !replyRead()) {
      awaitReplies();
      return;
    }
    ReceivedPacket packet = receivePacket(socket_, packetCapacity_, kMaxPeerFds);
    switch (packet.status) {
      case ReceivedPacket::Status::message:
        if (packetHandler_) packetHandler_(*this, packet);
        if (replyUnread_ && !closed_ && !outgoing_) {
          awaitReplyOrPacket();
          return;
        }
        break;
      case ReceivedPacket::Status::wouldBlock:
        waitForPackets();
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
    if (auto again = weak.lock(); again && !again->closed_) again->readPackets();
  });
}

void PacketConnection::reply(OutgoingPacket packet) {
  if (closed_) return;
  assert(!outgoing_ && !replyUnread_);
  outgoing_ = Pending{std::move(packet), std::nullopt};
  send();
}

// Tries the waiting reply once; what stops it arms what brings it back.
void PacketConnection::send() {
  OutgoingPacket& packet = outgoing_->packet;
  SendOutcome outcome;
  if (packet.descriptors) {
    auto fds = packet.descriptors();
    if (!fds && fds.error() == 0) {
      replaceOrDrop(0);
      return;
    }
    if (fds) {
      std::vector<const UniqueFd*> pointers;
      for (const UniqueFd& fd : *fds) pointers.push_back(&fd);
      outcome = sendPacket(socket_, packet.bytes, pointers);
    } else {
      outcome = {SendOutcome::Status::noRoom, fds.error()};
    }
  } else {
    outcome = sendPacket(socket_, packet.bytes);
  }
  switch (outcome.status) {
    case SendOutcome::Status::sent:
      replyUnread_ = static_cast<bool>(packet.descriptors);
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

void PacketConnection::noRoom(int error) {
  auto now = std::chrono::steady_clock::now();
  auto& since = outgoing_->refusedSince;
  if (!since) since = now;
  if (now - *since < kNoRoomPatience) {
    retryLater();
    return;
  }
  if (!outgoing_->packet.instead) {
    problem(fmt::format("connection pid={}: reply dropped — {}", peer_.pid, errorText(error)));
    outgoing_.reset();
    return;
  }
  replaceOrDrop(error);
}

void PacketConnection::replaceOrDrop(int error) {
  auto instead = std::move(outgoing_->packet.instead);
  if (!instead) {
    outgoing_.reset();
    return;
  }
  outgoing_ = Pending{instead(*this, error), std::nullopt};
  send();
}

void PacketConnection::retryLater() {
  if (auto server = server_.lock()) server->waitForRoom(shared_from_this());
  retryArmed_ = true;
  retry_.expires_after(kNoRoomRetry);
  retry_.async_wait([weak = weak_from_this()](const std::error_code& error) {
    auto self = weak.lock();
    if (!self || error) return;
    self->retryArmed_ = false;
    self->resumeReplies();
  });
}

// Once the peer has read what it was sent, the next reply or packet may go on.
void PacketConnection::awaitReplies() {
  if (closed_ || retryArmed_ || writeWaitArmed_) return;
  writeWaitArmed_ = true;
  watcher_->asyncWaitWritable([weak = weak_from_this()](std::error_code error) {
    auto self = weak.lock();
    if (!self || self->closed_ || error == asio::error::operation_aborted) return;
    self->writeWaitArmed_ = false;
    if (error) {
      self->problem(fmt::format("connection pid={}: waiting to reply failed: {}", self->peer_.pid,
                                error.message()));
      self->invalidate();
      return;
    }
    if (self->watchReadsAlone()) self->resumeReplies();
  });
}

// The reactor, once asked for room to write, watches for it for good, and
// then every reply the peer reads wakes this thread: a fresh registration
// watches for packets alone. A wait for them armed on the old one goes with
// it; resuming replies arms what is needed again.
bool PacketConnection::watchReadsAlone() {
  watcher_.reset();
  readWaitArmed_ = false;
  watcher_ = std::make_unique<FdWatcher>(queue_.executor(), socket_);
  if (watcher_->valid()) return true;
  problem(fmt::format("connection pid={}: cannot watch the socket: {}", peer_.pid,
                      watcher_->error().message()));
  invalidate();
  return false;
}

// Later on the queue: the waiting connections' retries must not run
// inside this one's.
void PacketConnection::roomFreed() {
  auto server = server_.lock();
  if (!server || !server->awaitsRoom()) return;
  queue_.async([weak = server_] {
    if (auto server = weak.lock()) server->roomFreed();
  });
}

void PacketConnection::problem(const std::string& line) {
  if (problemLines_ < kProblemLinesPerConnection) {
    ++problemLines_;
    log::helperLogger().error("{}", line);
  } else if (problemLines_ == kProblemLinesPerConnection) {
    ++problemLines_;
    log::helperLogger().error("connection pid={}: further problems on it are not logged",
                              peer_.pid);
  }
}

void PacketConnection::invalidate() {
  assert(queue_.isCurrent());
  if (closed_) return;
  auto self = shared_from_this();
  auto handler = std::move(invalidationHandler_);
  close();
  if (auto server = server_.lock()) server->forget(serial_);
  if (handler) handler();
}

}  // namespace fenwright
