#pragma once

#include <sys/stat.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/ipc/seq_packet_socket.h"
#include "platform/log/captured_log.h"
#include "platform/shared_surface.h"
#include "service/ipc_listener.h"
#include "protocol/wire_protocol.h"
#include "support/eventually.h"
#include "support/temp_dir.h"

namespace fenwright::testing {

using namespace std::chrono_literals;

inline constexpr const char* kServiceName = "Q2WXR7TZ4M.com.quenfield.app.pipmode";

// Points XDG_RUNTIME_DIR at a fresh private directory while it lives.
class RuntimeDir {
 public:
  RuntimeDir() {
    if (const char* old = std::getenv("XDG_RUNTIME_DIR")) previous_ = old;
    ::chmod(dir_.path().c_str(), 0700);
    ::setenv("XDG_RUNTIME_DIR", dir_.path().c_str(), 1);
  }
  ~RuntimeDir() {
    if (previous_) {
      ::setenv("XDG_RUNTIME_DIR", previous_->c_str(), 1);
    } else {
      ::unsetenv("XDG_RUNTIME_DIR");
    }
  }
  RuntimeDir(const RuntimeDir&) = delete;
  RuntimeDir& operator=(const RuntimeDir&) = delete;

  const std::filesystem::path& path() const { return dir_.path(); }
  std::filesystem::path socketPath() const { return dir_.path() / kServiceName; }

 private:
  TempDir dir_;
  std::optional<std::string> previous_;
};

// A surface whose byte i holds (i * 7 + salt) mod 251: no two neighbouring
// rows or pixels alike, so any offset or stride mistake shows.
inline SharedSurface makePatternSurface(std::uint8_t salt = 0) {
  auto surface = SharedSurface::create(640, 360);
  if (!surface) throw std::runtime_error("SharedSurface::create failed");
  surface->lock();
  for (std::size_t i = 0; i < surface->allocationSize(); ++i)
    surface->baseAddress()[i] = static_cast<std::uint8_t>((i * 7 + salt) % 251);
  surface->unlock();
  return std::move(*surface);
}

// A stand-in for the service: accepts every connection like the real one,
// counts what happens, and serves `surface` (or nil).
class FakeService final : public IpcListenerDelegate,
                          public PiPSurfaceProtocol,
                          public std::enable_shared_from_this<FakeService> {
 public:
  enum class Behaviour { reply, noReply, replyTwice, noExportedObject, decline };

  explicit FakeService(const SharedSurface* surface) : surface_(surface) {}

  void setBehaviour(Behaviour behaviour) {
    std::lock_guard lock(mutex_);
    behaviour_ = behaviour;
  }

  bool listenerShouldAcceptNewConnection(IpcListener&, IpcConnection& connection) override {
    std::size_t index;
    Behaviour behaviour;
    {
      std::lock_guard lock(mutex_);
      index = pids_.size();
      pids_.push_back(connection.processIdentifier());
      invalidations_.push_back(0);
      behaviour = behaviour_;
    }
    changed_.notify_all();
    if (behaviour == Behaviour::decline) return false;
    if (behaviour != Behaviour::noExportedObject) connection.setExportedObject(weak_from_this());
    connection.setInvalidationHandler([weak = weak_from_this(), index] {
      if (auto self = weak.lock()) self->invalidated(index);
    });
    connection.setInterruptionHandler([] {});
    connection.resume();
    return true;
  }

  void fetchSurface(const std::function<void(const SharedSurface*)>& reply) override {
    Behaviour behaviour;
    {
      std::lock_guard lock(mutex_);
      ++fetches_;
      behaviour = behaviour_;
    }
    if (behaviour == Behaviour::noReply) return;
    reply(surface_);
    if (behaviour == Behaviour::replyTwice) reply(surface_);
  }

  std::size_t accepted() const {
    std::lock_guard lock(mutex_);
    return pids_.size();
  }
  int pidOf(std::size_t index) const {
    std::lock_guard lock(mutex_);
    return pids_.at(index);
  }
  int invalidationsOf(std::size_t index) const {
    std::lock_guard lock(mutex_);
    return invalidations_.at(index);
  }
  int totalInvalidations() const {
    std::lock_guard lock(mutex_);
    int total = 0;
    for (int count : invalidations_) total += count;
    return total;
  }
  int fetches() const {
    std::lock_guard lock(mutex_);
    return fetches_;
  }

  bool waitForAccepted(std::size_t count, std::chrono::milliseconds timeout = 5s) const {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] { return pids_.size() >= count; });
  }
  bool waitForInvalidations(int total, std::chrono::milliseconds timeout = 5s) const {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] {
      int sum = 0;
      for (int count : invalidations_) sum += count;
      return sum >= total;
    });
  }

 private:
  void invalidated(std::size_t index) {
    {
      std::lock_guard lock(mutex_);
      ++invalidations_.at(index);
    }
    changed_.notify_all();
  }

  const SharedSurface* surface_;
  mutable std::mutex mutex_;
  mutable std::condition_variable changed_;
  Behaviour behaviour_ = Behaviour::reply;
  std::vector<int> pids_;
  std::vector<int> invalidations_;
  int fetches_ = 0;
};

// Descriptors open in this process right now.
inline int openFdCount() {
  int count = 0;
  for ([[maybe_unused]] auto& entry : std::filesystem::directory_iterator("/proc/self/fd"))
    ++count;
  return count;
}

// What each open descriptor is, for failure messages.
inline std::string describeFds() {
  std::string text;
  for (auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
    std::error_code ignored;
    text += entry.path().filename().string() + "->" +
            std::filesystem::read_symlink(entry.path(), ignored).string() + " ";
  }
  return text;
}

// Descriptors open once the listener has closed its copies of the ones it
// sent: it may still hold them for a moment after the client has its reply.
// `ownSurfaceFds`: the memfds the test itself holds (its surface's two).
inline int quietFdCount(int ownSurfaceFds = 2) {
  eventually([&] {
    int surfaceFds = 0;
    for (auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
      std::error_code ignored;
      auto target = std::filesystem::read_symlink(entry.path(), ignored).string();
      surfaceFds += target.find("memfd:fenwright-surface") != std::string::npos;
    }
    return surfaceFds <= ownSurfaceFds;
  });
  return openFdCount();
}

// The listener closes descriptors on its own queue.
inline bool waitForFdCount(int expected) {
  if (eventually([&] { return openFdCount() == expected; })) return true;
  ADD_FAILURE() << openFdCount() << " descriptors open, expected " << expected << ": "
                << describeFds();
  return false;
}

// One raw request/reply exchange as a client in another language would do it.
struct RawReply {
  wire::Reply reply;
  std::vector<UniqueFd> fds;
};

inline std::optional<RawReply> receiveReply(const UniqueFd& socket,
                                            std::chrono::milliseconds timeout = 5s) {
  auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0 || waitReadable(socket, left) != Readiness::ready) return std::nullopt;
    ReceivedPacket packet = receivePacket(socket, wire::kReplySize, 8);
    if (packet.status == ReceivedPacket::Status::wouldBlock) continue;
    if (packet.status != ReceivedPacket::Status::message) return std::nullopt;
    auto decoded = wire::decodeReply(packet.bytes, packet.size);
    if (!decoded.reply) {
      ADD_FAILURE() << "undecodable reply: " << decoded.reason;
      return std::nullopt;
    }
    return RawReply{*decoded.reply, std::move(packet.fds)};
  }
}

inline bool sendBytes(const UniqueFd& socket, std::span<const std::uint8_t> bytes,
                      std::span<const UniqueFd* const> fds = {}) {
  return sendPacket(socket, bytes, fds).status == SendOutcome::Status::sent;
}

inline std::optional<RawReply> rawFetch(const UniqueFd& socket, std::uint32_t requestId) {
  auto request = wire::encodeRequest({wire::Operation::fetchSurface, requestId});
  if (!sendBytes(socket, request)) return std::nullopt;
  return receiveReply(socket);
}

inline UniqueFd dial(const std::filesystem::path& path) {
  auto socket = connectSeqPacket(path);
  EXPECT_TRUE(socket) << socket.error();
  return socket ? std::move(*socket) : UniqueFd();
}

}  // namespace fenwright::testing

namespace fenwright::testing {

// A listener on a private runtime directory, serving a pattern surface
// through a FakeService.
class ListenerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    surface_.emplace(makePatternSurface());
    service_ = std::make_shared<FakeService>(&*surface_);
    startListener();
  }
  void TearDown() override { listener_.reset(); }

  void startListener() {
    listener_ = IpcListener::make(kServiceName);
    ASSERT_TRUE(listener_);
    listener_->setDelegate(service_);
    listener_->resume();
  }

  // After one whole connect-fetch-close cycle, so that everything the
  // listener creates once (its reactor) already exists.
  int settledFdCount() {
    std::size_t before = service_->accepted();
    int invalidations = service_->totalInvalidations();
    {
      UniqueFd socket = dial(runtime_.socketPath());
      auto reply = rawFetch(socket, 1);
      EXPECT_TRUE(reply);
    }
    EXPECT_TRUE(service_->waitForAccepted(before + 1));
    EXPECT_TRUE(service_->waitForInvalidations(invalidations + 1));
    return quietFdCount();
  }

  RuntimeDir runtime_;
  log::CapturedLog log_;
  std::optional<SharedSurface> surface_;
  std::shared_ptr<FakeService> service_;
  std::unique_ptr<IpcListener> listener_;
};

}  // namespace fenwright::testing
