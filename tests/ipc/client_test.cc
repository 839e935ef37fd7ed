// The client library: waiting for frames, and replies from a helper that
// lies or is not there. (Copies never torn while the frame buffer renders: render's
// FrameBufferSurface.)

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstring>
#include <functional>
#include <optional>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "platform/ipc/unix_listen_socket.h"
#include "tests/ipc/ipc_test_support.h"
#include "tests/render/surface_client.h"
#include "tools/client/fenwright_client.h"

namespace fenwright::testing {
namespace {

using client::FenwrightClient;

// The surface mapped a second time, as in another process: a private
// futex would never reach the waiter, a copy would never change.
TEST(ClientSurface, WaitForFrameSleepsUntilARenderEndsAndAHalfWrittenFrameIsNoFrame) {
  SharedSurface surface_ = makePatternSurface();
  std::optional<client::MappedSurface> mapped_(mapAsClient(surface_));
  std::vector<std::uint8_t> frame_(921600);
  EXPECT_EQ(mapped_->waitForFrame(0ms), surface_.seed());
  EXPECT_EQ(mapped_->waitForFrame(50ms), std::nullopt);
  surface_.lock();
  auto stuck = mapped_->copyFrame(frame_, 50ms);
  ASSERT_FALSE(stuck);
  EXPECT_NE(stuck.error().find("no finished frame to copy within 50 ms"), std::string::npos);
  EXPECT_EQ(mapped_->waitForFrame(50ms), std::nullopt);
  std::optional<std::uint32_t> woken;
  std::thread waiter([&] { woken = mapped_->waitForFrame(60s); });
  std::this_thread::sleep_for(50ms);  // asleep on the seed by now, most likely
  std::memset(surface_.baseAddress(), 0x5a, surface_.allocationSize());
  surface_.unlock();
  waiter.join();
  ASSERT_EQ(woken, surface_.seed());
  auto copied = mapped_->copyFrame(frame_);
  ASSERT_TRUE(copied && *copied == *woken);
  EXPECT_EQ(frame_, std::vector<std::uint8_t>(frame_.size(), 0x5a));
  EXPECT_EQ(mapped_->pixels()[12345], 0x5a);  // shared, not copied
  std::vector<std::uint8_t> small(100);
  auto refused = mapped_->copyFrame(small);
  ASSERT_FALSE(refused);
  EXPECT_EQ(refused.error(), "the buffer holds 100 bytes, a frame needs 921600");
}

UniqueFd memfd(std::size_t size, bool sealed = true) {
  UniqueFd fd(::memfd_create("liar", MFD_CLOEXEC | MFD_ALLOW_SEALING));
  EXPECT_EQ(::ftruncate(fd.get(), static_cast<off_t>(size)), 0);
  if (sealed) {
    EXPECT_EQ(::fcntl(fd.get(), F_ADD_SEALS, F_SEAL_SHRINK | F_SEAL_GROW), 0);
  }
  return fd;
}

// A helper that answers whatever the test tells it to. Random replies are
// the client fuzzer's; these are the near misses, each with its reason.
class LyingHelperTest : public ::testing::Test {
 protected:
  void SetUp() override {
    auto bound = UnixListenSocket::bindAt(dir_.path() / "liar.sock");
    ASSERT_TRUE(bound) << bound.error();
    auto client = FenwrightClient::connect(dir_.path() / "liar.sock");
    ASSERT_TRUE(client) << client.error();
    client_.emplace(std::move(*client));
    ASSERT_EQ(waitReadable(bound->fd(), 5s), Readiness::ready);
    server_ = std::move(bound->accept().fd);
  }

  wire::Reply reply(wire::ReplyKind kind = wire::ReplyKind::surface) {
    wire::Reply reply{kind, nextId_, {}, {}, {}};
    if (kind == wire::ReplyKind::surface)
      reply.surface = {surface_.id(), 640, 360, 2560, 921600, kPixelFormatBGRA, 4096};
    return reply;
  }
  std::vector<UniqueFd> fds(std::initializer_list<std::function<UniqueFd()>> makers) {
    std::vector<UniqueFd> made;
    for (auto& make : makers) made.push_back(make());
    return made;
  }
  std::vector<UniqueFd> goodFds() { return fds({pixels, control}); }

  // Queues `bytes` as the answer to the client's next request, then asks.
  void expectError(std::span<const std::uint8_t> bytes, const std::vector<UniqueFd>& fds,
                   const std::string& part) {
    std::vector<const UniqueFd*> pointers;
    for (auto& fd : fds) pointers.push_back(&fd);
    ASSERT_TRUE(sendBytes(server_, bytes, pointers));
    ++nextId_;
    auto result = client_->fetchSurface(2s);
    ASSERT_FALSE(result) << "expected an error containing: " << part;
    EXPECT_NE(result.error().find(part), std::string::npos) << result.error();
  }
  void expectError(const wire::Reply& reply, const std::vector<UniqueFd>& fds,
                   const std::string& part) {
    expectError(wire::encodeReply(reply), fds, part);
  }

  TempDir dir_;
  SharedSurface surface_ = makePatternSurface();
  std::function<UniqueFd()> pixels = [this] { return std::move(*surface_.openPixelsReadOnly()); };
  std::function<UniqueFd()> control = [this] { return std::move(*surface_.openControlReadOnly()); };
  std::optional<FenwrightClient> client_;
  UniqueFd server_;
  std::uint32_t nextId_ = 1;
};

TEST_F(LyingHelperTest, MalformedRepliesAreErrorsAndLeakNothing) {
  int before = openFdCount();
  auto patched = [&](std::size_t offset, std::uint8_t value) {
    auto bytes = wire::encodeReply(reply());
    bytes[offset] = value;
    return bytes;
  };
  const auto whole = wire::encodeReply(reply());
  expectError(std::span(whole).first(50), {}, "reply is 50 bytes, expected 128");
  expectError(patched(0, 'X'), goodFds(), "reply does not start with FWRP");
  expectError(patched(4, 9), goodFds(), "reply has version 9");
  expectError(patched(6, 7), {}, "unknown kind 7");
  expectError(patched(48, 5), goodFds(), "must announce 2 descriptors, not 5");

  // The surface it describes, changed one way each.
  using Surface = wire::SurfaceDescription;
  const std::pair<void (*)(Surface&), const char*> lies[] = {
      {[](Surface& s) { s.width = 0; }, "surface size 0x360 is out of range"},
      {[](Surface& s) { s.height = 16384, s.bytesPerRow = 0xFFFFFFFC; },
       "surface row length 4294967292 does not fit"},
      {[](Surface& s) { s.allocationSize = 1000; }, "surface allocation size 1000 does not fit"},
      {[](Surface& s) { s.pixelFormat = 0x52474241; }, "surface pixel format is not BGRA"},
      {[](Surface& s) { s.controlSize = 8; }, "surface control size 8 is out of range"},
  };
  for (auto [change, error] : lies) {
    auto lie = reply();
    change(lie.surface);
    expectError(lie, goodFds(), error);
  }

  // The descriptors that come with it: too few, too many, not what it says.
  auto sealed = [](std::size_t size) { return [size] { return memfd(size); }; };
  auto devNull = [] { return UniqueFd(::open("/dev/null", O_RDONLY | O_CLOEXEC)); };
  expectError(reply(), {}, "it carried 0 descriptor(s), expected 2");
  expectError(reply(), fds({pixels}), "it carried 1 descriptor(s), expected 2");
  expectError(reply(), fds({pixels, control, sealed(10)}),
              "it carried 3 descriptor(s), expected 2");
  std::vector<UniqueFd> twenty(20);
  for (auto& fd : twenty) fd = memfd(10);
  expectError(reply(), twenty, "it carried more than");
  expectError(reply(wire::ReplyKind::nil), goodFds(), "it carried 2 descriptor(s), expected 0");
  expectError(reply(), fds({devNull, devNull}), "the pixel descriptor is not shared memory");
  expectError(reply(), fds({sealed(4096), sealed(4096)}),
              "the pixel memory is 4096 bytes, the reply announced 921600");
  expectError(reply(), fds({[] { return memfd(921600, false); }, sealed(4096)}),
              "the pixel memory is not sealed against shrinking");
  expectError(reply(), fds({pixels, sealed(4096)}), "the control memory has no header");
  auto error = reply(wire::ReplyKind::error);
  error.error = wire::ErrorCode::surfaceUnavailable;
  error.message = "busy";
  expectError(error, {}, "the helper answered with error 7: busy");

  // A late answer to an old request is skipped; the right one is used.
  auto stale = reply();
  stale.requestId = 1;
  ASSERT_TRUE(sendBytes(server_, wire::encodeReply(stale)));
  auto good = goodFds();
  ASSERT_TRUE(sendBytes(server_, wire::encodeReply(reply()), std::array{&good[0], &good[1]}));
  auto fine = client_->fetchSurface(2s);
  ASSERT_TRUE(fine && *fine) << fine.error();
  EXPECT_EQ((*fine)->id(), surface_.id());
  good.clear();
  twenty.clear();
  // Every descriptor the client was sent is closed again.
  EXPECT_EQ(openFdCount(), before);

  // Silence, then hanging up.
  auto silent = client_->fetchSurface(50ms);
  ASSERT_FALSE(silent);
  EXPECT_NE(silent.error().find("no reply within 50 ms"), std::string::npos);
  server_.reset();
  auto hungUp = client_->fetchSurface(2s);
  ASSERT_FALSE(hungUp);
  EXPECT_NE(hungUp.error().find("the helper closed the connection"), std::string::npos);
  auto none = FenwrightClient::connect(dir_.path() / "none");  // no helper at all
  ASSERT_FALSE(none);
  EXPECT_NE(none.error().find("connect " + (dir_.path() / "none").string()), std::string::npos);
}

}  // namespace
}  // namespace fenwright::testing
