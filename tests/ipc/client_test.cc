// The client library: waiting for frames, and replies from a helper that
// lies or is not there. (Copies never torn while the frame buffer renders:
// render's SurfaceRender.)

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstring>
#include <functional>
#include <optional>
#include <span>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "platform/ipc/unix_listen_socket.h"
#include "support/fails_with.h"
#include "support/surface_probe.h"
#include "tests/ipc/ipc_test_support.h"
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
  EXPECT_TRUE(failsWith(mapped_->copyFrame(frame_, 50ms), "no finished frame to copy within 50 ms"));
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
  EXPECT_TRUE(failsWith(mapped_->copyFrame(small), "the buffer holds 100 bytes, a frame needs 921600"));
}

UniqueFd memfd(std::size_t size, bool sealed = true) {
  UniqueFd fd(::memfd_create("liar", MFD_CLOEXEC | MFD_ALLOW_SEALING));
  EXPECT_EQ(::ftruncate(fd.get(), static_cast<off_t>(size)), 0);
  EXPECT_TRUE(!sealed || ::fcntl(fd.get(), F_ADD_SEALS, F_SEAL_SHRINK | F_SEAL_GROW) == 0);
  return fd;
}

// A helper that answers whatever the test tells it to, or is not there.
// Random replies are the client fuzzer's; these are the near misses, each
// with its reason.
TEST(LyingHelper, MalformedRepliesAreErrorsAndLeakNothing) {
  TempDir dir;
  SharedSurface surface = makePatternSurface();
  auto bound = UnixListenSocket::bindAt(dir.path() / "liar.sock");
  ASSERT_TRUE(bound) << bound.error();
  auto client = FenwrightClient::connect(dir.path() / "liar.sock");
  ASSERT_TRUE(client) << client.error();
  ASSERT_EQ(waitReadable(bound->fd(), 5s), Readiness::ready);
  UniqueFd server = std::move(bound->accept().fd);
  const int before = openFdCount();

  std::uint32_t nextId = 1;
  auto reply = [&](wire::ReplyKind kind = wire::ReplyKind::surface) {
    wire::Reply reply{kind, nextId, {}, {}, {}};
    if (kind == wire::ReplyKind::surface)
      reply.surface = {surface.id(), 640, 360, 2560, 921600, kPixelFormatBGRA, 4096};
    return reply;
  };
  using Fds = std::vector<std::function<UniqueFd()>>;
  std::function<UniqueFd()> pixels = [&] { return std::move(*surface.openPixelsReadOnly()); };
  std::function<UniqueFd()> control = [&] { return std::move(*surface.openControlReadOnly()); };
  const Fds good = {pixels, control};
  // Queues `bytes` as the answer to the client's next request, then asks.
  auto expectBytes = [&](std::span<const std::uint8_t> bytes, const Fds& makers,
                         const std::string& part) {
    std::vector<UniqueFd> fds;
    std::vector<const UniqueFd*> pointers;
    fds.reserve(makers.size());
    for (auto& make : makers) pointers.push_back(&fds.emplace_back(make()));
    ASSERT_TRUE(sendBytes(server, bytes, pointers));
    ++nextId;
    EXPECT_TRUE(failsWith(client->fetchSurface(2s), part));
  };
  auto expectError = [&](const wire::Reply& lie, const Fds& makers, const std::string& part) {
    expectBytes(wire::encodeReply(lie), makers, part);
  };
  auto patched = [&](std::size_t offset, std::uint8_t value) {
    auto bytes = wire::encodeReply(reply());
    bytes[offset] = value;
    return bytes;
  };
  const auto whole = wire::encodeReply(reply());
  expectBytes(std::span(whole).first(50), {}, "reply is 50 bytes, expected 128");
  expectBytes(patched(0, 'X'), good, "reply does not start with FWRP");
  expectBytes(patched(4, 9), good, "reply has version 9");
  expectBytes(patched(6, 7), {}, "unknown kind 7");
  expectBytes(patched(48, 5), good, "must announce 2 descriptors, not 5");

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
    expectError(lie, good, error);
  }

  // The descriptors that come with it: too few, too many, not what it says.
  auto sealed = [](std::size_t size) { return [size] { return memfd(size); }; };
  auto devNull = [] { return UniqueFd(::open("/dev/null", O_RDONLY | O_CLOEXEC)); };
  expectError(reply(), {}, "it carried 0 descriptor(s), expected 2");
  expectError(reply(), {pixels}, "it carried 1 descriptor(s), expected 2");
  expectError(reply(), {pixels, control, sealed(10)}, "it carried 3 descriptor(s), expected 2");
  expectError(reply(), Fds(20, sealed(10)), "it carried more than");
  expectError(reply(wire::ReplyKind::nil), good, "it carried 2 descriptor(s), expected 0");
  expectError(reply(), {devNull, devNull}, "the pixel descriptor is not shared memory");
  expectError(reply(), {sealed(4096), sealed(4096)},
              "the pixel memory is 4096 bytes, the reply announced 921600");
  expectError(reply(), {[] { return memfd(921600, false); }, sealed(4096)},
              "the pixel memory is not sealed against shrinking");
  expectError(reply(), {pixels, sealed(4096)}, "the control memory has no header");
  auto error = reply(wire::ReplyKind::error);
  error.error = wire::ErrorCode::surfaceUnavailable;
  error.message = "busy";
  expectError(error, {}, "the helper answered with error 7: busy");

  // A late answer to an old request is skipped; the right one is used.
  auto stale = reply();
  stale.requestId = 1;
  ASSERT_TRUE(sendBytes(server, wire::encodeReply(stale)));
  UniqueFd fds[] = {pixels(), control()};
  ASSERT_TRUE(sendBytes(server, wire::encodeReply(reply()), std::array{&fds[0], &fds[1]}));
  auto fine = client->fetchSurface(2s);
  ASSERT_TRUE(fine && *fine) << fine.error();
  EXPECT_EQ((*fine)->id(), surface.id());
  fds[0].reset(), fds[1].reset();
  // Every descriptor the client was sent is closed again.
  EXPECT_EQ(openFdCount(), before);

  // Silence, hanging up, no helper at all.
  EXPECT_TRUE(failsWith(client->fetchSurface(50ms), "no reply within 50 ms"));
  server.reset();
  EXPECT_TRUE(failsWith(client->fetchSurface(2s), "the helper closed the connection"));
  EXPECT_TRUE(failsWith(FenwrightClient::connect(dir.path() / "none"),
                        "connect " + (dir.path() / "none").string()));
}

}  // namespace
}  // namespace fenwright::testing
