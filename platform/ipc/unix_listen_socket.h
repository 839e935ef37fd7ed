#pragma once

#include <cstdint>
#include <filesystem>
#include <string>

#include "platform/expected.h"
#include "platform/unique_fd.h"

namespace fenwright {

// A listening AF_UNIX SOCK_SEQPACKET socket, non-blocking and close-on-exec.
// Move-only.
//
// Bound here, it also holds `<path>.lock` (flock) for its whole life, so two
// processes starting at once cannot both decide that an existing socket
// file is stale; and it removes its socket file when it goes, unless that
// file has been replaced meanwhile. Passed in by systemd, the socket file
// belongs to systemd and is left alone.
class UnixListenSocket {
 public:
  enum class Origin { boundHere, passedBySystemd };

  // Binds and listens at `path` with mode 0600. A socket file left behind by
  // a dead process (connecting to it is refused) is replaced; a live one,
  // or anything that is not a socket, is left alone and reported.
  static Expected<UnixListenSocket> bindAt(const std::filesystem::path& path);
  // Takes a socket that already listens, e.g. one systemd passed.
  static UnixListenSocket adopt(UniqueFd listening);

  UnixListenSocket(UnixListenSocket&& other) noexcept;
  UnixListenSocket& operator=(UnixListenSocket&& other) noexcept;
  ~UnixListenSocket();

  const UniqueFd& fd() const { return fd_; }
  Origin origin() const { return origin_; }
  // The address it listens on, as far as the kernel reports it.
  const std::filesystem::path& path() const { return path_; }
  bool replacedStaleSocket() const { return replacedStale_; }

  struct Accepted {
    enum class Status {
      accepted,
      wouldBlock,        // nothing pending
      outOfDescriptors,  // EMFILE, ENFILE, ENOBUFS, ENOMEM: the client waits in the backlog
      transient,         // the client gave up meanwhile; try the next one
      failed,
    };
    Status status = Status::failed;
    UniqueFd fd;  // non-blocking, close-on-exec; only when accepted
    std::string reason;
  };
  Accepted accept() const;

 private:
  UnixListenSocket(UniqueFd fd, UniqueFd lock, std::filesystem::path path, Origin origin);
  void removeSocketFile();

  UniqueFd fd_;
  UniqueFd lock_;
  std::filesystem::path path_;
  Origin origin_ = Origin::boundHere;
  bool replacedStale_ = false;
  std::uint64_t device_ = 0;
  std::uint64_t inode_ = 0;
};

}  // namespace fenwright
