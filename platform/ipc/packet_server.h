#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <optional>

#include <asio/steady_timer.hpp>

#include "platform/ipc/fd_watcher.h"
#include "platform/ipc/packet_connection.h"
#include "platform/ipc/unix_listen_socket.h"

namespace fenwright {

class SerialQueue;

// A SOCK_SEQPACKET server on a listening socket; lives on one serial queue.
// It accepts in turns, so a flood of dials cannot starve the connections it
// has; admits only peers of our own user (others are refused, and summed
// up in the log once a minute); and lets replies that found no room to
// pass their descriptors go, when room is freed, in the order they found
// none.
class PacketServer final : public std::enable_shared_from_this<PacketServer> {
 public:
  // Keeps the new connection (setting its handlers and starting it when it
  // likes) or not: then it is closed at once.
  using AdmitHandler = std::function<bool(const std::shared_ptr<PacketConnection>&)>;

  PacketServer(SerialQueue& queue, UnixListenSocket socket, std::size_t packetCapacity);
  PacketServer(const PacketServer&) = delete;
  PacketServer& operator=(const PacketServer&) = delete;

  // All of these on the queue.
  void setAdmitHandler(AdmitHandler handler) { admit_ = std::move(handler); }
  void resume();
  // Accepts nothing more; connections already accepted go on.
  void invalidate();
  // Also closes every connection, calling none of their handlers.
  void shutdown();

  // For its connections.
  void forget(std::uint64_t serial) { connections_.erase(serial); }
  void waitForRoom(const std::shared_ptr<PacketConnection>& connection);
  bool awaitsRoom() const { return !waitingForRoom_.empty(); }
  void roomFreed();

 private:
  void acceptPending();
  void waitForConnections();
  void backOff();
  void admit(UniqueFd fd);
  void refuseStranger(const PeerCredentials& peer);
  void summariseRefusals();

  SerialQueue& queue_;
  std::optional<UnixListenSocket> socket_;
  std::size_t packetCapacity_;
  std::unique_ptr<FdWatcher> watcher_;
  asio::steady_timer backoff_;
  asio::steady_timer refusalSummary_;
  std::deque<std::weak_ptr<PacketConnection>> waitingForRoom_;
  std::uint64_t refusedThisMinute_ = 0;
  std::uint32_t ourUid_;
  AdmitHandler admit_;
  std::map<std::uint64_t, std::shared_ptr<PacketConnection>> connections_;
  std::uint64_t nextSerial_ = 1;
  bool resumed_ = false;
  bool acceptTrouble_ = false;
};

}  // namespace fenwright
