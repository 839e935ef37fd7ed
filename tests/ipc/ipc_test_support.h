#pragma once

#include <sys/stat.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
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

// Points XDG_RUNTIME_DIR at a fresh private directory; every test that
// looks there makes its own.
struct RuntimeDir : TempDir {
  RuntimeDir() {
    ::chmod(path().c_str(), 0700);
    ::setenv("XDG_RUNTIME_DIR", path().c_str(), 1);
  }
  std::filesystem::path socketPath() const { return path() / kServiceName; }
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

// A stand-in for the service: accepts every connection as the real one
// does, counts what happens, and serves `surface` (or nil, when told).
class FakeService final : public IpcListenerDelegate,
                          public PiPSurfaceProtocol,
                          public std::enable_shared_from_this<FakeService> {
 public:
  explicit FakeService(const SharedSurface* surface) : surface_(surface) {}

  bool listenerShouldAcceptNewConnection(IpcListener&, IpcConnection& connection) override {
    connection.setExportedObject(weak_from_this());
    connection.setInvalidationHandler([weak = weak_from_this()] {
      if (auto self = weak.lock()) ++self->invalidations;
    });
    connection.resume();
    return true;
  }

  void fetchSurface(const std::function<void(const SharedSurface*)>& reply) override {
    ++fetches;
    reply(nil ? nullptr : surface_);
  }

  bool waitForInvalidations(int total) const {
    return eventually([&] { return invalidations >= total; });
  }

  std::atomic<bool> nil{false};
  std::atomic<int> fetches{0}, invalidations{0};

 private:
  const SharedSurface* surface_;
};

// Descriptors open in this process right now.
inline int openFdCount() {
  auto entries = std::filesystem::directory_iterator("/proc/self/fd");
  return static_cast<int>(std::distance(begin(entries), end(entries)));
}

// Descriptors open once the listener has closed its copies of the ones it
// sent: it may still hold them for a moment after the client has its reply.
// Two are the test's own surface's.
inline int quietFdCount() {
  eventually([&] {
    int surfaceFds = 0;
    for (auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
      std::error_code ignored;
      surfaceFds += std::filesystem::read_symlink(entry.path(), ignored).string().find(
                        "memfd:fenwright-surface") != std::string::npos;
    }
    return surfaceFds <= 2;
  });
  return openFdCount();
}

// One raw request/reply exchange as a client in another language would do it.
struct RawReply {
  wire::Reply reply;
  std::vector<UniqueFd> fds;
};

inline std::optional<RawReply> receiveReply(const UniqueFd& socket,
                                            std::chrono::milliseconds timeout = 5s) {
  for (;;) {
    if (waitReadable(socket, timeout) != Readiness::ready) return std::nullopt;
    ReceivedPacket packet = receivePacket(socket, wire::kReplySize, 8);
    if (packet.status == ReceivedPacket::Status::wouldBlock) continue;
    if (packet.status != ReceivedPacket::Status::message) return std::nullopt;
    auto decoded = wire::decodeReply(packet.bytes, packet.size);
    EXPECT_TRUE(decoded.reply) << "undecodable reply: " << decoded.reason;
    if (!decoded.reply) return std::nullopt;
    return RawReply{*decoded.reply, std::move(packet.fds)};
  }
}

inline bool sendBytes(const UniqueFd& socket, std::span<const std::uint8_t> bytes,
                      std::span<const UniqueFd* const> fds = {}) {
  return sendPacket(socket, bytes, fds).status == SendOutcome::Status::sent;
}

inline std::vector<std::uint8_t> fetchRequest(std::uint32_t id) {
  auto bytes = wire::encodeRequest({wire::Operation::fetchSurface, id});
  return {bytes.begin(), bytes.end()};
}

inline std::optional<RawReply> rawFetch(const UniqueFd& socket, std::uint32_t requestId) {
  if (!sendBytes(socket, fetchRequest(requestId))) return std::nullopt;
  return receiveReply(socket);
}

inline UniqueFd dial(const std::filesystem::path& path) {
  auto socket = connectSeqPacket(path);
  EXPECT_TRUE(socket) << socket.error();
  return socket ? std::move(*socket) : UniqueFd();
}

// A listener on a private runtime directory, serving a pattern surface
// through a FakeService.
class ListenerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    listener_ = listen();
    ASSERT_TRUE(listener_);
  }

  std::unique_ptr<IpcListener> listen() {
    auto listener = IpcListener::make(kServiceName);
    if (listener) listener->setDelegate(service_), listener->resume();
    return listener;
  }

  RuntimeDir runtime_;
  log::CapturedLog log_;
  SharedSurface surface_ = makePatternSurface();
  std::shared_ptr<FakeService> service_ = std::make_shared<FakeService>(&surface_);
  std::unique_ptr<IpcListener> listener_;
};

}  // namespace fenwright::testing
