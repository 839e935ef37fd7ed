// The client library: read-only mapping, tear-free copies, and replies from
// a helper that lies.

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <functional>
#include <optional>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "platform/ipc/unix_listen_socket.h"
#include "tests/ipc/ipc_test_support.h"
#include "tools/client/fenwright_client.h"

namespace fenwright::testing {
namespace {

using client::FenwrightClient;

TEST_F(ListenerTest, CopyFrameNeverTearsWhileFramesAreWritten) {
  auto client = FenwrightClient::connect(runtime_.socketPath());
  ASSERT_TRUE(client);
  auto fetched = client->fetchSurface();
  ASSERT_TRUE(fetched && *fetched) << fetched.error();
  const client::MappedSurface& mapped = **fetched;

  std::uint32_t untouched = mapped.seed();
  std::atomic<bool> stop{false};
  std::thread writer([&] {
    std::uint8_t value = 0;
    while (!stop.load()) {
      surface_->lock();
      std::memset(surface_->baseAddress(), ++value, surface_->allocationSize());
      surface_->unlock();
      // Still 30 times the helper's rate, and a gap a sanitized copy fits in.
      std::this_thread::sleep_for(1ms);
    }
  });
  // A failed ASSERT returns early: stop the writer rather than terminate.
  struct JoinWriter {
    std::atomic<bool>& stop;
    std::thread& writer;
    ~JoinWriter() {
      stop = true;
      if (writer.joinable()) writer.join();
    }
  } joinWriter{stop, writer};
  // From the writer's first frame on, every frame is one value throughout.
  ASSERT_TRUE(eventually([&] { return mapped.seed() > untouched + 1; }));
  std::vector<std::uint8_t> frame(mapped.allocationSize());
  std::uint32_t lastSeed = 0;
  int torn = 0;
  for (int i = 0; i < 300; ++i) {
    auto seed = mapped.copyFrame(frame);
    ASSERT_TRUE(seed) << seed.error();
    EXPECT_EQ(*seed % 2, 0u);
    EXPECT_GE(*seed, lastSeed);
    lastSeed = *seed;
    if (std::memcmp(frame.data(), frame.data() + 1, frame.size() - 1) != 0) ++torn;
  }
  stop = true;
  writer.join();
  EXPECT_EQ(torn, 0);
}

// The surface is mapped here a second time, as in another process: a
// private futex would never reach the waiter.
TEST_F(ListenerTest, WaitForFrameSleepsUntilARenderEndsAndAHalfWrittenFrameIsNoFrame) {
  auto client = FenwrightClient::connect(runtime_.socketPath());
  ASSERT_TRUE(client);
  auto fetched = client->fetchSurface();
  ASSERT_TRUE(fetched && *fetched);
  client::MappedSurface& mapped = **fetched;
  std::vector<std::uint8_t> frame(mapped.allocationSize());
  EXPECT_EQ(mapped.waitForFrame(0ms), surface_->seed());
  EXPECT_EQ(mapped.waitForFrame(50ms), std::nullopt);

  surface_->lock();
  auto stuck = mapped.copyFrame(frame, 50ms);
  ASSERT_FALSE(stuck);
  EXPECT_NE(stuck.error().find("no finished frame to copy within 50 ms"), std::string::npos);
  EXPECT_EQ(mapped.waitForFrame(50ms), std::nullopt);
  std::optional<std::uint32_t> woken;
  const auto start = std::chrono::steady_clock::now();
  std::thread waiter([&] { woken = mapped.waitForFrame(60s); });
  std::this_thread::sleep_for(50ms);  // asleep on the seed by now, most likely
  std::memset(surface_->baseAddress(), 0x5a, surface_->allocationSize());
  surface_->unlock();
  waiter.join();
  EXPECT_LT(std::chrono::steady_clock::now() - start, 30s) << "not woken: it timed out";
  ASSERT_EQ(woken, surface_->seed());
  auto copied = mapped.copyFrame(frame);
  ASSERT_TRUE(copied && *copied == *woken);
  EXPECT_EQ(frame, std::vector<std::uint8_t>(frame.size(), 0x5a));

  std::vector<std::uint8_t> small(100);
  auto refused = mapped.copyFrame(small);
  ASSERT_FALSE(refused);
  EXPECT_EQ(refused.error(), "the buffer holds 100 bytes, a frame needs 921600");
}

TEST(ClientTest, ConnectFailsCleanlyWithoutAHelper) {
  RuntimeDir runtime;
  auto client = FenwrightClient::connect();
  ASSERT_FALSE(client);
  EXPECT_NE(client.error().find("connect " + runtime.socketPath().string()), std::string::npos)
      << client.error();
  ::unsetenv("XDG_RUNTIME_DIR");
  auto unset = FenwrightClient::connect();
  ASSERT_FALSE(unset);
  EXPECT_EQ(unset.error(), "XDG_RUNTIME_DIR is not set");
}

// A helper that answers whatever the test tells it to.
class LyingHelperTest : public ::testing::Test {
 protected:
  void SetUp() override {
    auto bound = UnixListenSocket::bindAt(dir_.path() / "liar.sock");
    ASSERT_TRUE(bound) << bound.error();
    listening_.emplace(std::move(*bound));
    auto client = FenwrightClient::connect(dir_.path() / "liar.sock");
    ASSERT_TRUE(client) << client.error();
    client_.emplace(std::move(*client));
    ASSERT_EQ(waitReadable(listening_->fd(), 5s), Readiness::ready);
    auto accepted = listening_->accept();
    ASSERT_EQ(accepted.status, UnixListenSocket::Accepted::Status::accepted);
    server_ = std::move(accepted.fd);
  }

  wire::Reply goodReply() {
    wire::Reply reply;
    reply.kind = wire::ReplyKind::surface;
    reply.requestId = nextId_;
    reply.surface = {surface_.id(), 640, 360, 2560, 921600, kPixelFormatBGRA, 4096};
    return reply;
  }
  std::vector<UniqueFd> goodFds() {
    std::vector<UniqueFd> fds;
    fds.push_back(std::move(*surface_.openPixelsReadOnly()));
    fds.push_back(std::move(*surface_.openControlReadOnly()));
    return fds;
  }

  // Queues `bytes` as the answer to the client's next request, then asks.
  Expected<std::optional<client::MappedSurface>> answer(std::span<const std::uint8_t> bytes,
                                                      const std::vector<UniqueFd>& fds = {}) {
    std::vector<const UniqueFd*> pointers;
    for (auto& fd : fds) pointers.push_back(&fd);
    EXPECT_TRUE(sendBytes(server_, bytes, pointers));
    ++nextId_;
    return client_->fetchSurface(2s);
  }
  Expected<std::optional<client::MappedSurface>> answer(const wire::Reply& reply,
                                                      const std::vector<UniqueFd>& fds = {}) {
    return answer(wire::encodeReply(reply), fds);
  }

  static UniqueFd memfd(std::size_t size, bool sealed) {
    UniqueFd fd(::memfd_create("liar", MFD_CLOEXEC | MFD_ALLOW_SEALING));
    EXPECT_EQ(::ftruncate(fd.get(), static_cast<off_t>(size)), 0);
    if (sealed) {
      EXPECT_EQ(::fcntl(fd.get(), F_ADD_SEALS, F_SEAL_SHRINK | F_SEAL_GROW), 0);
    }
    return fd;
  }

  static void expectError(const Expected<std::optional<client::MappedSurface>>& result,
                          const std::string& part) {
    ASSERT_FALSE(result) << "expected an error containing: " << part;
    EXPECT_NE(result.error().find(part), std::string::npos) << result.error();
  }

  TempDir dir_;
  SharedSurface surface_ = makePatternSurface();
  std::optional<UnixListenSocket> listening_;
  std::optional<FenwrightClient> client_;
  UniqueFd server_;
  std::uint32_t nextId_ = 1;
};

TEST_F(LyingHelperTest, MalformedRepliesAreErrorsAndLeakNothing) {
  int before = openFdCount();
  auto bytes = wire::encodeReply(goodReply());
  auto patched = [&](std::size_t offset, std::uint8_t value) {
    auto copy = wire::encodeReply(goodReply());
    copy[offset] = value;
    return copy;
  };
  expectError(answer(std::span(bytes).first(50)), "reply is 50 bytes, expected 128");
  expectError(answer(patched(0, 'X'), goodFds()), "reply does not start with FWRP");
  expectError(answer(patched(4, 9), goodFds()), "reply has version 9");
  expectError(answer(patched(6, 7)), "unknown kind 7");
  expectError(answer(patched(48, 5), goodFds()), "must announce 2 descriptors, not 5");

  // The surface it describes, changed one way each.
  using Surface = wire::SurfaceDescription;
  const std::pair<void (*)(Surface&), const char*> lies[] = {
      {[](Surface& s) { s.width = 0; }, "surface size 0x360 is out of range"},
      {[](Surface& s) {
         s.height = 16384;
         s.bytesPerRow = 0xFFFFFFFC;
       },
       "surface row length 4294967292 does not fit"},
      {[](Surface& s) { s.allocationSize = 1000; }, "surface allocation size 1000 does not fit"},
      {[](Surface& s) { s.pixelFormat = 0x52474241; }, "surface pixel format is not BGRA"},
      {[](Surface& s) { s.controlSize = 8; }, "surface control size 8 is out of range"},
  };
  for (auto [change, error] : lies) {
    auto reply = goodReply();
    change(reply.surface);
    expectError(answer(reply, goodFds()), error);
  }

  // The descriptors that come with it: too few, too many, not what it says.
  auto fds = [&](std::initializer_list<std::function<UniqueFd()>> makers) {
    std::vector<UniqueFd> made;
    for (auto& make : makers) made.push_back(make());
    return made;
  };
  auto pixels = [&] { return std::move(*surface_.openPixelsReadOnly()); };
  auto control = [&] { return std::move(*surface_.openControlReadOnly()); };
  auto sealed = [](std::size_t size) { return [size] { return memfd(size, true); }; };
  auto pipeEnd = [] {
    int ends[2];
    EXPECT_EQ(::pipe2(ends, O_CLOEXEC), 0);
    ::close(ends[1]);
    return UniqueFd(ends[0]);
  };
  expectError(answer(goodReply()), "it carried 0 descriptor(s), expected 2");
  expectError(answer(goodReply(), fds({pixels})), "it carried 1 descriptor(s), expected 2");
  expectError(answer(goodReply(), fds({pixels, control, sealed(10)})),
              "it carried 3 descriptor(s), expected 2");
  std::vector<UniqueFd> twenty;
  for (int i = 0; i < 20; ++i) twenty.push_back(memfd(10, true));
  expectError(answer(goodReply(), twenty), "it carried more than");
  wire::Reply nil;
  nil.kind = wire::ReplyKind::nil;
  nil.requestId = nextId_;
  expectError(answer(nil, goodFds()), "it carried 2 descriptor(s), expected 0");
  expectError(answer(goodReply(), fds({pipeEnd, pipeEnd})),
              "the pixel descriptor is not shared memory");
  expectError(answer(goodReply(), fds({sealed(4096), sealed(4096)})),
              "the pixel memory is 4096 bytes, the reply announced 921600");
  expectError(answer(goodReply(), fds({[] { return memfd(921600, false); }, sealed(4096)})),
              "the pixel memory is not sealed against shrinking");
  expectError(answer(goodReply(), fds({pixels, sealed(4096)})),
              "the control memory has no header");

  wire::Reply error;
  error.kind = wire::ReplyKind::error;
  error.requestId = nextId_;
  error.error = wire::ErrorCode::surfaceUnavailable;
  error.message = "busy";
  expectError(answer(error), "the helper answered with error 7: busy");

  // A late answer to an old request is skipped; the right one is used.
  auto stale = goodReply();
  stale.requestId = 1;
  ASSERT_TRUE(sendBytes(server_, wire::encodeReply(stale)));
  auto fine = answer(goodReply(), goodFds());
  ASSERT_TRUE(fine) << fine.error();
  ASSERT_TRUE(*fine);
  EXPECT_EQ((*fine)->id(), surface_.id());
  twenty.clear();
  // Every descriptor the client was sent is closed again.
  EXPECT_EQ(openFdCount(), before);
}

TEST_F(LyingHelperTest, SilenceAndHangingUpAreErrors) {
  auto silent = client_->fetchSurface(50ms);
  expectError(silent, "no reply within 50 ms");
  server_.reset();
  expectError(client_->fetchSurface(2s), "the helper closed the connection");
}

}  // namespace
}  // namespace fenwright::testing
