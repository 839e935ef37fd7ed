#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <span>
#include <utility>
#include <vector>

#include "platform/expected.h"
#include "platform/unique_fd.h"

namespace fenwright {

// Packet I/O on connected AF_UNIX SOCK_SEQPACKET sockets: one message per
// call, descriptors by SCM_RIGHTS. Neither call ever blocks.

struct ReceivedPacket {
  enum class Status {
    message,     // `bytes`, `size` and `fds` describe one message
    wouldBlock,  // nothing queued
    closed,      // the peer closed or reset its end, or shut down writing
    failed,      // any other error, in `error`
  };
  Status status = Status::failed;
  // At most the capacity asked for.
  std::vector<std::uint8_t> bytes;
  // The message's real length; larger than bytes.size() when it was cut.
  std::size_t size = 0;
  // More descriptors or control data than there was room for; the kernel
  // discarded what did not fit.
  bool controlTruncated = false;
  // Every descriptor that arrived, close-on-exec, owned from the start.
  std::vector<UniqueFd> fds;
  int error = 0;

  bool truncated() const { return size > bytes.size(); }
};

ReceivedPacket receivePacket(const UniqueFd& socket, std::size_t capacity, std::size_t maxFds);

struct SendOutcome {
  enum class Status {
    sent,
    wouldBlock,  // the peer's queue is full: it is not reading
    peerGone,    // EPIPE, ECONNRESET, ENOTCONN
    // No room for it now, worth trying again later (`error` says which):
    // the user's descriptors in flight are at its RLIMIT_NOFILE
    // (ETOOMANYREFS), or the kernel is short of descriptors or memory.
    noRoom,
    failed,  // any other error, in `error`
  };
  Status status = Status::failed;
  int error = 0;
};

// Sends `bytes` and, when given, `fds` as one message. The descriptors stay
// ours; the peer receives copies.
SendOutcome sendPacket(const UniqueFd& socket, std::span<const std::uint8_t> bytes,
                       std::span<const UniqueFd* const> fds = {});

// Bytes sent on `socket` that its peer has not read yet (SIOCOUTQ: a
// packet counts until the peer has received it, or closed its end); 0 when
// that cannot be told.
std::size_t unreadBytes(const UniqueFd& socket);

// Connects to the listening socket at `path`; the result is close-on-exec
// and non-blocking. While the listener's backlog is full it retries, for up
// to 5 seconds.
Expected<UniqueFd> connectSeqPacket(const std::filesystem::path& path);

// A connected pair, both ends close-on-exec and non-blocking.
Expected<std::pair<UniqueFd, UniqueFd>> seqPacketPair();

enum class Readiness { ready, timedOut, failed };
// Waits until `socket` has a message, an end or an error to report.
Readiness waitReadable(const UniqueFd& socket, std::chrono::milliseconds timeout);

}  // namespace fenwright
