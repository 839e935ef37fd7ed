#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "platform/dispatch/serial_queue.h"
#include "platform/ipc/fd_watcher.h"
#include "platform/ipc/outgoing_packet.h"
#include "platform/ipc/peer_credentials.h"
#include "platform/ipc/seq_packet_socket.h"
#include "platform/unique_fd.h"

namespace fenwright {

class PacketServer;
class SerialQueue;

// One peer of a PacketServer; all of it lives on the server's queue.
//
// Replies go out in request order, and at most one reply with descriptors
// is unread on a connection: until the peer has read it (nothing of ours
// left in its queue, per unreadBytes) no further packet is read, so a peer
// that never reads holds one reply's descriptors in flight, not a queue
// full, and its later packets wait in its own socket.
class PacketConnection final : public std::enable_shared_from_this<PacketConnection> {
 public:
  // Called with each packet the peer sends; it answers each with exactly
  // one reply(), before it returns.
  using PacketHandler = std::function<void(PacketConnection&, ReceivedPacket&)>;

  PacketConnection(std::weak_ptr<PacketServer> server, SerialQueue& queue, UniqueFd socket,
                   PeerCredentials peer, std::uint64_t serial, std::size_t packetCapacity);
  PacketConnection(const PacketConnection&) = delete;
  PacketConnection& operator=(const PacketConnection&) = delete;

  const PeerCredentials& peer() const { return peer_; }
  std::uint64_t serial() const { return serial_; }

  // The handlers are set on the queue, before start().
  void setPacketHandler(PacketHandler handler) { packetHandler_ = std::move(handler); }
  // The peer closed its end, or the connection failed; called once.
  void setInvalidationHandler(std::function<void()> handler) {
    invalidationHandler_ = std::move(handler);
  }

  // Starts reading packets; later calls do nothing.
  void start();
  void reply(OutgoingPacket packet);
  // One error line, as long as this peer has not filled its share of the log.
  void problem(const std::string& line);
  // The server is going away: close without calling any handler.
  void close();

  // Moves on with what waits: a reply read, room to send, a retry.
  void resumeReplies();
  // Whether this connection still waits for room to pass descriptors.
  bool waitsForRoom() const { return !closed_ && outgoing_ && outgoing_->refusedSince; }
  // Some reply now waits for room: tell it when ours has been read.
  void watchReplies() {
    if (replyUnread_) awaitReplies();
  }

 private:
  struct Pending {
    OutgoingPacket packet;
    std::optional<std::chrono::steady_clock::time_point> refusedSince;
  };

  void waitForPackets();
  void readPackets();
  void send();
  void noRoom(int error);
  void replaceOrDrop(int error);
  void retryLater();
  bool replyRead();
  void awaitReplyOrPacket();
  void awaitReplies();
  bool watchReadsAlone();
  void roomFreed();
  void invalidate();

  std::weak_ptr<PacketServer> server_;
  SerialQueue& queue_;
  UniqueFd socket_;
  std::unique_ptr<FdWatcher> watcher_;  // declared after socket_: goes first
  PeerCredentials peer_;
  std::uint64_t serial_;
  std::size_t packetCapacity_;
  PacketHandler packetHandler_;
  std::function<void()> invalidationHandler_;
  QueueTimer retry_;
  std::optional<Pending> outgoing_;  // not sent yet; nothing is read meanwhile
  bool replyUnread_ = false;         // the last reply carried descriptors
  bool retryArmed_ = false;
  bool readWaitArmed_ = false;
  bool writeWaitArmed_ = false;
  bool started_ = false;
  bool closed_ = false;
  int problemLines_ = 0;
};

}  // namespace fenwright
