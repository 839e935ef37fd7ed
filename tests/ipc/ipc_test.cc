// The listener with a fake service in-process, and the client library
// against helpers that lie or are not there: what a client sees, and what
// the service's handlers see, however the other side behaves. A client that
// misbehaves gets an error reply or a log line, leaks nothing, harms no
// other connection and never ends the listener; a helper that lies gets an
// error with its reason. (Copies never torn while the frame buffer renders:
// render's SurfaceRender.)

#include <fcntl.h>
#include <poll.h>
#include <sys/fsuid.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include <gtest/gtest.h>

#include "platform/ipc/shared_file_info.h"
#include "platform/ipc/unix_listen_socket.h"
#include "platform/mapped_memory.h"
#include "support/fails_with.h"
#include "support/surface_probe.h"
#include "tests/ipc/ipc_test_support.h"
#include "tools/client/fenwright_client.h"

namespace fenwright::testing {
namespace {

std::string pidPrefix() { return "connection pid=" + std::to_string(::getpid()) + ": "; }
UniqueFd openDevNull() { return UniqueFd(::open("/dev/null", O_RDONLY | O_CLOEXEC)); }

sockaddr_un addressOf(const std::filesystem::path& path) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
  return address;
}

// A socket bound at `path` by hand, listening.
UniqueFd bindByHand(const std::filesystem::path& path, int type) {
  UniqueFd fd(::socket(AF_UNIX, type | SOCK_CLOEXEC, 0));
  sockaddr_un address = addressOf(path);
  EXPECT_EQ(::bind(fd.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
  EXPECT_EQ(::listen(fd.get(), 8), 0);
  return fd;
}

// A fetch on `socket` answered with the surface, under its id.
::testing::AssertionResult servesSurface(const UniqueFd& socket, std::uint32_t id) {
  auto reply = rawFetch(socket, id);
  if (reply && reply->reply.kind == wire::ReplyKind::surface && reply->reply.requestId == id)
    return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << (reply ? "not the surface under its id" : "no reply");
}

ino_t inodeOf(const std::filesystem::path& path) {
  struct stat info {};
  return ::stat(path.c_str(), &info) == 0 ? info.st_ino : 0;
}


// Only for reading: the client can neither write nor resize the memory,
// not even by reopening it. (Shared, not copied: ClientSurface; the fields
// as documented: the documented Python client, tests/scripts.)
TEST_F(ListenerTest, EveryFetchSharesTheSurfaceReadOnly) {
  UniqueFd socket = dial(runtime_.socketPath());
  auto reply = rawFetch(socket, 0xC0FFEE);
  ASSERT_TRUE(reply);
  EXPECT_EQ(reply->reply.surface.surfaceId, surface_.id());
  ASSERT_EQ(reply->fds.size(), 2u);
  for (std::uint64_t size : {921600u, 4096u}) {
    const UniqueFd& fd = reply->fds[size == 4096];
    auto info = inspectSharedFile(fd);
    ASSERT_TRUE(info && info->regularFile && info->openedReadOnly);
    EXPECT_EQ(info->size, size);
    EXPECT_TRUE(info->sealedAgainstShrinking && info->sealedAgainstGrowing);
    UniqueFd reopened(::open(("/proc/self/fd/" + std::to_string(fd.get())).c_str(),
                             O_RDWR | O_CLOEXEC));
    for (const UniqueFd* target : {&fd, static_cast<const UniqueFd*>(&reopened)}) {
      if (!*target) continue;
      EXPECT_FALSE(MappedMemory::map(*target, size, MappedMemory::Access::readWrite));
      EXPECT_EQ(::pwrite(target->get(), "x", 1, 0), -1);
      EXPECT_NE(::ftruncate(target->get(), 16), 0);
      EXPECT_NE(::ftruncate(target->get(), static_cast<off_t>(size) * 2), 0);
    }
    auto readOnly = MappedMemory::map(fd, size, MappedMemory::Access::readOnly);
    ASSERT_TRUE(readOnly);
    EXPECT_NE(::mprotect(readOnly->data(), size, PROT_READ | PROT_WRITE), 0);
  }
  EXPECT_EQ(std::memcmp(surface_.baseAddress(), makePatternSurface().baseAddress(), 921600), 0);
}

// Where the listener puts its socket, and what it leaves alone.
class SocketPathTest : public ListenerTest {
 protected:
  void SetUp() override {}
};

// Private, named after the service, published by renaming a socket that
// already listens; a stale one is replaced, and it goes with the listener
// unless someone else's file has taken its place.
TEST_F(SocketPathTest, SocketIsPrivateReplacesAStaleOneAndGoesWithTheListener) {
  const auto path = runtime_.socketPath();
  bindByHand(path, SOCK_SEQPACKET);  // closed at once: nobody listens now
  auto listener = listen();
  ASSERT_TRUE(listener);
  EXPECT_TRUE(log_.contains("listener: replaced stale socket " + path.string()));
  EXPECT_TRUE(servesSurface(dial(path), 1));
  struct stat info {};
  ASSERT_EQ(::lstat(path.c_str(), &info), 0);
  EXPECT_TRUE(S_ISSOCK(info.st_mode));
  EXPECT_EQ(info.st_mode & 07777, 0600u);
  EXPECT_EQ(info.st_uid, ::geteuid());
  EXPECT_FALSE(std::filesystem::exists(path.string() + ".new"));
  listener.reset();
  EXPECT_FALSE(std::filesystem::exists(path));

  listener = listen();
  std::filesystem::remove(path);
  std::ofstream(path) << "successor";
  listener.reset();
  EXPECT_TRUE(std::filesystem::exists(path));
}

// Activated with a socket of the wrong kind, it closes that one and binds
// its own. (A passed socket that fits: tests/process.)
TEST_F(SocketPathTest, APassedSocketOfTheWrongKindIsClosedAndTheUsualPathUsed) {
  UniqueFd aside(::fcntl(3, F_DUPFD_CLOEXEC, 10));  // what the test runner left on 3
  UniqueFd stream(
      ::fcntl(bindByHand(runtime_.path() / "stream", SOCK_STREAM).get(), F_DUPFD_CLOEXEC, 10));
  ASSERT_EQ(::dup2(stream.get(), 3), 3);
  ::setenv("LISTEN_PID", std::to_string(::getpid()).c_str(), 1);
  ::setenv("LISTEN_FDS", "1", 1);
  auto listener = IpcListener::make(kServiceName);
  ASSERT_TRUE(listener);
  EXPECT_NE(inodeOf("/proc/self/fd/3"), inodeOf("/proc/self/fd/" + std::to_string(stream.get())));
  EXPECT_TRUE(log_.contains("listener: systemd passed 1 descriptor(s), none a listening AF_UNIX "
                           "SOCK_SEQPACKET socket — binding the socket here instead"));
  EXPECT_TRUE(dial(runtime_.socketPath()));
  listener.reset();
  if (aside) ::dup2(aside.get(), 3);
}

// A live socket of another process (of either type), a second listener of
// ours, a file; a runtime directory that is not private, not ours or not
// there: the listener says why it does not listen, and the path keeps
// what stood there.
TEST_F(SocketPathTest, WhatAlreadyStandsAtThePathOrABadRuntimeDirectoryIsLeftAlone) {
  const std::string path = runtime_.socketPath().string(), dir = runtime_.path().string();
  auto runtimeDir = [](auto change) {
    return [change] { return change(), std::shared_ptr<void>(); };
  };
  std::vector<std::pair<std::function<std::shared_ptr<void>()>, std::string>> cases = {
      {[&] { return std::make_shared<UniqueFd>(bindByHand(path, SOCK_SEQPACKET)); },
       "another process is listening on " + path},
      {[&] { return std::make_shared<UniqueFd>(bindByHand(path, SOCK_STREAM)); },
       path + " is in use by a socket of another type"},
      {[&] { return std::shared_ptr<void>(listen()); },
       "another process is listening on " + path + " (it holds " + path + ".lock)"},
      {[&] { std::ofstream(path) << "not a socket"; return std::shared_ptr<void>(); },
       path + " exists and is not a socket"},
      {runtimeDir([&] { ::chmod(dir.c_str(), 0755); }),
       "runtime directory " + dir + " has mode 0755, expected 0700"},
      {runtimeDir([&] { ::setenv("XDG_RUNTIME_DIR", (dir + "/gone").c_str(), 1); }),
       "runtime directory " + dir + "/gone: No such file or directory"},
      {runtimeDir([] { ::unsetenv("XDG_RUNTIME_DIR"); }), "XDG_RUNTIME_DIR is not set"},
      {runtimeDir([] { ::setenv("XDG_RUNTIME_DIR", "run/user", 1); }),
       "XDG_RUNTIME_DIR \"run/user\" is not an absolute path"},
  };
  if (::geteuid() == 0) {
    cases.push_back({runtimeDir([&] { ASSERT_EQ(::chown(dir.c_str(), 65534, 65534), 0); }),
                     "runtime directory " + dir + " is owned by uid 65534, not by us (uid 0)"});
  }
  for (const auto& [occupy, line] : cases) {
    SCOPED_TRACE(line);
    auto held = occupy();
    ino_t inode = inodeOf(path);
    EXPECT_FALSE(listen());
    EXPECT_TRUE(log_.containsError("listener: " + line + " — not listening"));
    EXPECT_EQ(inodeOf(path), inode);
    held.reset();
    std::filesystem::remove(path);
    ::chmod(dir.c_str(), 0700);
    ::setenv("XDG_RUNTIME_DIR", dir.c_str(), 1);
  }
  [[maybe_unused]] int restored = ::chown(dir.c_str(), ::geteuid(), ::getegid());
}

// Every misbehaving client meets a bystander that keeps one connection
// open throughout and must notice nothing.
class HostileClientTest : public ListenerTest {
 protected:
  void SetUp() override {
    ListenerTest::SetUp();
    // One whole connect-fetch-close cycle first, so that everything the
    // listener creates once (its reactor) already exists.
    ASSERT_TRUE(rawFetch(dial(runtime_.socketPath()), 1));
    ASSERT_TRUE(service_->waitForInvalidations(1));
    bystander_ = dial(runtime_.socketPath());
    ASSERT_TRUE(rawFetch(bystander_, 1));
    baseline_ = quietFdCount();
  }

  UniqueFd bystander_;
  int baseline_ = 0;
};

// However a peer goes (closed before asking, with its requests unanswered
// or holding the surface, done writing), its connection alone is
// invalidated, once, and nothing else is called.
TEST_F(HostileClientTest, EachPeerThatLeavesInvalidatesItsConnectionOnceAndOnlyIt) {
  const std::function<void(UniqueFd&)> leaves[] = {
      [](UniqueFd&) {},
      [](UniqueFd& s) {
        for (std::uint32_t id = 1; id <= 50; ++id) ASSERT_TRUE(sendBytes(s, fetchRequest(id)));
      },
      [](UniqueFd& s) { ASSERT_TRUE(rawFetch(s, 2)); },
      [](UniqueFd& s) {
        ASSERT_TRUE(rawFetch(s, 3));
        ASSERT_EQ(::shutdown(s.get(), SHUT_WR), 0);
      },
  };
  int invalidations = 1;  // the settling connection's
  for (auto& leave : leaves) {
    UniqueFd socket = dial(runtime_.socketPath());
    leave(socket);
    socket.reset();
    ASSERT_TRUE(service_->waitForInvalidations(++invalidations));
  }
  EXPECT_TRUE(servesSurface(bystander_, 99));
  EXPECT_EQ(service_->invalidations, invalidations);  // none twice, not the bystander
  EXPECT_EQ(log_.count(pidPrefix() + "receive failed"), 0u);
}

// Random junk is the request fuzzer's; these are the near misses, and
// descriptors, which the listener closes unread before it replies.
TEST_F(HostileClientTest, MalformedRequestsGetErrorRepliesAndTheConnectionStaysUsable) {
  const std::uint32_t id = 0x11223344;
  // A valid request cut or padded to `size`, its byte `at` set to `value`.
  auto request = [&](std::size_t size, std::size_t at = 0, std::uint8_t value = 'F') {
    const auto valid = fetchRequest(id);
    // Built anew rather than resized: GCC 12 at -O3 warns wrongly on a
    // resize that grows this vector.
    std::vector<std::uint8_t> bytes(size, 0xAB);
    std::copy_n(valid.begin(), std::min(size, valid.size()), bytes.begin());
    if (at < size) bytes[at] = value;
    return bytes;
  };
  std::vector<UniqueFd> mine(100);
  std::vector<const UniqueFd*> fds;
  for (auto& fd : mine) fds.push_back(&(fd = openDevNull()));
  using E = wire::ErrorCode;
  const std::tuple<std::vector<std::uint8_t>, E, std::uint32_t, std::size_t> cases[] = {
      {request(0), E::badSize, 0, 0},           {request(1), E::badSize, 0, 0},
      {request(40), E::badSize, id, 0},         {request(81), E::badSize, id, 0},
      {request(100000), E::badSize, id, 0},     {request(80, 0, 'X'), E::badMagic, 0, 0},
      {request(80, 4, 2), E::unsupportedVersion, id, 0},
      {request(80, 6, 9), E::unknownOperation, id, 0},
      {request(80, 16, 'X'), E::nameMismatch, id, 0},
      {request(80, 48, 'X'), E::nameMismatch, id, 0},
      {request(80, 48 + 22, '!'), E::nameMismatch, id, 0},
      // Three; more than there is room for; a zero-byte message of two.
      {request(80), E::descriptorsNotAccepted, id, 3},
      {request(80), E::descriptorsNotAccepted, id, 100},
      {request(0), E::descriptorsNotAccepted, 0, 2},
  };
  UniqueFd socket = dial(runtime_.socketPath());
  ASSERT_TRUE(rawFetch(socket, 20));  // accepted: its descriptor is counted below
  const int before = quietFdCount();
  // Each alone, then twice more in one unread burst: the errors come back
  // in order, and the log holds a bounded share of them.
  for (int round = 0; round < 3; ++round) {
    for (const auto& [bytes, code, echoedId, count] : cases) {
      if (round == 0 || bytes.size() < 1000) {
        ASSERT_TRUE(sendBytes(socket, bytes, std::span(fds).first(count)));
      }
    }
    for (const auto& [bytes, code, echoedId, count] : cases) {
      if (round > 0 && bytes.size() >= 1000) continue;
      auto reply = receiveReply(socket);
      ASSERT_TRUE(reply);
      EXPECT_EQ(reply->reply.kind, wire::ReplyKind::error);
      EXPECT_EQ(reply->reply.error, code);
      EXPECT_EQ(reply->reply.requestId, echoedId);
      EXPECT_TRUE(reply->fds.empty());
      const std::string line = pidPrefix() + "malformed request: " + reply->reply.message;
      EXPECT_TRUE(round > 0 || count || log_.containsError(line + " — replied with an error"));
    }
    EXPECT_EQ(openFdCount(), before);  // the listener's copies closed before it replied
  }
  EXPECT_TRUE(log_.containsError(pidPrefix() +
                                 "malformed request: request is 40 bytes, expected 80 — "
                                 "replied with an error"));
  EXPECT_TRUE(log_.containsError(pidPrefix() +
                                 "request carried 3 descriptor(s); closed them unread — "
                                 "replied with an error"));
  EXPECT_EQ(log_.count(pidPrefix() + "further problems on it are not logged"), 1u);

  EXPECT_TRUE(servesSurface(socket, 5));
  EXPECT_EQ(service_->fetches, 4);  // settling, bystander, this one twice
  EXPECT_TRUE(servesSurface(bystander_, 99));
  socket.reset();
  mine.clear();
  ASSERT_TRUE(service_->waitForInvalidations(2));
  EXPECT_TRUE(eventually([&] { return openFdCount() == baseline_; })) << openFdCount();
}

TEST_F(HostileClientTest, RunningOutOfDescriptorsBacksOffAndRecovers) {
#ifdef __SANITIZE_ADDRESS__
  GTEST_SKIP() << "UBSan probes vtables through a pipe: with no descriptors left, false alarms";
#endif
  // Made before the drought: connect() needs no new descriptor here, and
  // the kernel queues the connection for the listener.
  UniqueFd late(::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0));
  ASSERT_TRUE(late);
  sockaddr_un address = addressOf(runtime_.socketPath());
  // The soft limit at the lowest free descriptor: none can be opened.
  rlimit original{};
  ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &original), 0);
  rlimit lowered = original;
  lowered.rlim_cur = static_cast<rlim_t>(openDevNull().get());
  ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &lowered), 0);
  // Whatever fails below, later tests get their descriptors back.
  std::shared_ptr<void> restore(nullptr, [&](void*) { ::setrlimit(RLIMIT_NOFILE, &original); });
  ASSERT_FALSE(openDevNull());

  ASSERT_EQ(::connect(late.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address),
            0);
  const std::string exhausted =
      "listener: accept failed: Too many open files — retrying every 100 ms";
  EXPECT_TRUE(log_.waitFor(exhausted, 5s));
  // A fetch meanwhile cannot get descriptors: an error, not a crash.
  auto starved = rawFetch(bystander_, 50);
  ASSERT_TRUE(starved);
  EXPECT_EQ(starved->reply.error, wire::ErrorCode::surfaceUnavailable);
  // That took a second of retries to answer; accepting was retried as
  // often meanwhile, and the line stays single.
  ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &original), 0);
  EXPECT_EQ(log_.count(exhausted), 1u);
  EXPECT_TRUE(log_.waitFor("listener: accepting connections again", 5s));
  EXPECT_TRUE(servesSurface(late, 51));
  EXPECT_TRUE(servesSurface(bystander_, 99));
  late.reset();
  ASSERT_TRUE(service_->waitForInvalidations(2));
  EXPECT_TRUE(eventually([&] { return openFdCount() == baseline_; })) << openFdCount();
}

// The socket's mode keeps other users out; this is the check behind it,
// for a peer that reaches the socket anyway (file system uid 0).
TEST_F(HostileClientTest, ConnectionsFromAnotherUserAreRefusedAndSummedUp) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to connect as another user";
  const int fetches = service_->fetches;
  const sockaddr_un address = addressOf(runtime_.socketPath());
  const auto request = fetchRequest(1);
  pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {  // only system calls from here on
    if (::setresuid(65534, 65534, 0) != 0) ::_exit(10);
    ::setfsuid(0);
    for (int i = 0; i < 50; ++i) {
      int fd = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
      if (fd < 0 || ::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address))
        ::_exit(11);
      ::send(fd, request.data(), request.size(), MSG_NOSIGNAL);
      pollfd entry{fd, POLLIN, 0};
      char buffer[256];
      if (::poll(&entry, 1, 5000) != 1 || ::recv(fd, buffer, sizeof buffer, 0) > 0) ::_exit(12);
      ::close(fd);
    }
    ::_exit(0);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  const std::string refusal = "listener: refusing connection from pid=" +
                              std::to_string(child) + " uid=65534 — not our user (uid=0)";
  EXPECT_TRUE(log_.waitFor(refusal, 5s));
  EXPECT_EQ(service_->fetches, fetches);
  EXPECT_TRUE(servesSurface(bystander_, 99));
  // The other 49 only in a sum, at the end of the minute or of the listener.
  listener_.reset();
  EXPECT_EQ(log_.count(refusal), 1u);
  EXPECT_TRUE(log_.containsError("listener: refused 50 connections from other users in the last "
                                 "minute"));
}

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
  expectError(reply(), {}, "it carried 0 descriptor(s), expected 2");
  expectError(reply(), {pixels}, "it carried 1 descriptor(s), expected 2");
  expectError(reply(), {pixels, control, sealed(10)}, "it carried 3 descriptor(s), expected 2");
  expectError(reply(), Fds(20, sealed(10)), "it carried more than");
  expectError(reply(wire::ReplyKind::nil), good, "it carried 2 descriptor(s), expected 0");
  expectError(reply(), {openDevNull, openDevNull}, "the pixel descriptor is not shared memory");
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
