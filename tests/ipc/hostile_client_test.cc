// Clients that misbehave: each gets an error reply or a log line, leaks
// nothing, harms no other connection and never ends the listener.

#include <fcntl.h>
#include <poll.h>
#include <sys/fsuid.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/ipc/ipc_test_support.h"

namespace fenwright::testing {
namespace {

UniqueFd openDevNull() { return UniqueFd(::open("/dev/null", O_RDONLY | O_CLOEXEC)); }

std::vector<std::uint8_t> validRequest(std::uint32_t id) {
  auto bytes = wire::encodeRequest({wire::Operation::fetchSurface, id});
  return {bytes.begin(), bytes.end()};
}

class HostileClientTest : public ListenerTest {
 protected:
  void SetUp() override {
    ListenerTest::SetUp();
    settledFdCount();
    bystander_ = dial(runtime_.socketPath());
    ASSERT_TRUE(rawFetch(bystander_, 1));
    bystanderIndex_ = service_->accepted() - 1;
    baseline_ = quietFdCount();
  }

  // A well-behaved client open through everything; it must notice nothing.
  void expectBystanderUnharmed() {
    auto reply = rawFetch(bystander_, 99);
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->reply.kind, wire::ReplyKind::surface);
    EXPECT_EQ(reply->reply.requestId, 99u);
    EXPECT_EQ(service_->invalidationsOf(bystanderIndex_), 0);
  }

  std::size_t linesStartingWith(const std::string& prefix) const {
    std::size_t n = 0;
    for (const auto& text : log_.texts()) n += text.rfind(prefix, 0) == 0;
    return n;
  }

  std::string connectionPrefix() const {
    return "connection pid=" + std::to_string(::getpid()) + ": ";
  }

  UniqueFd bystander_;
  std::size_t bystanderIndex_ = 0;
  int baseline_ = 0;
};

TEST_F(HostileClientTest, MalformedRequestsGetErrorRepliesAndTheConnectionStaysUsable) {
  const std::uint32_t id = 0x11223344;
  auto valid = validRequest(id);
  auto with = [&](std::size_t offset, std::uint8_t value) {
    auto bytes = valid;
    bytes[offset] = value;
    return bytes;
  };
  std::vector<std::uint8_t> large = valid;
  large.resize(100000, 0xAB);
  std::vector<std::uint8_t> longer = valid;
  longer.push_back(0);

  struct Case {
    const char* name;
    std::vector<std::uint8_t> bytes;
    wire::ErrorCode code;
    std::uint32_t echoedId;
  };
  std::vector<Case> cases = {
      {"empty", {}, wire::ErrorCode::badSize, 0},
      {"one byte", {0x46}, wire::ErrorCode::badSize, 0},
      {"truncated", {valid.begin(), valid.begin() + 40}, wire::ErrorCode::badSize, id},
      {"one byte too long", longer, wire::ErrorCode::badSize, id},
      {"100 kB", large, wire::ErrorCode::badSize, id},
      {"wrong magic", with(0, 'X'), wire::ErrorCode::badMagic, 0},
      {"future version", with(4, 2), wire::ErrorCode::unsupportedVersion, id},
      {"unknown operation", with(6, 9), wire::ErrorCode::unknownOperation, id},
      {"wrong protocol", with(16, 'X'), wire::ErrorCode::nameMismatch, id},
      {"wrong selector", with(48, 'X'), wire::ErrorCode::nameMismatch, id},
      {"selector with a tail", with(48 + 22, '!'), wire::ErrorCode::nameMismatch, id},
  };

  UniqueFd socket = dial(runtime_.socketPath());
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_TRUE(sendBytes(socket, c.bytes));
    auto reply = receiveReply(socket);
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->reply.kind, wire::ReplyKind::error);
    EXPECT_EQ(reply->reply.error, c.code);
    EXPECT_EQ(reply->reply.requestId, c.echoedId);
    EXPECT_FALSE(reply->reply.message.empty());
    EXPECT_TRUE(reply->fds.empty());
    EXPECT_TRUE(log_.containsError(connectionPrefix() + "malformed request: " +
                                   reply->reply.message + " — replied with an error"));
  }
  EXPECT_TRUE(log_.containsError(connectionPrefix() +
                                 "malformed request: request is 40 bytes, expected 80 — "
                                 "replied with an error"));
  // Twice more, sent unread in one burst: the errors come back in order,
  // and the log holds a bounded share of them. (Random junk is the
  // request fuzzer's.)
  auto small = [](const Case& c) { return c.bytes.size() < 1000; };  // the burst fits
  for (int round = 0; round < 2; ++round) {
    for (const Case& c : cases) {
      if (!small(c)) continue;
      ASSERT_TRUE(sendBytes(socket, c.bytes));
    }
  }
  for (int round = 0; round < 2; ++round) {
    for (const Case& c : cases) {
      if (!small(c)) continue;
      auto reply = receiveReply(socket);
      ASSERT_TRUE(reply) << c.name;
      EXPECT_EQ(reply->reply.error, c.code) << c.name;
    }
  }
  EXPECT_EQ(log_.count(connectionPrefix() + "further problems on it are not logged"), 1u);

  auto reply = rawFetch(socket, 5);
  ASSERT_TRUE(reply);
  EXPECT_EQ(reply->reply.kind, wire::ReplyKind::surface);
  EXPECT_EQ(service_->fetches(), 3);  // warm-up, bystander, this one
  expectBystanderUnharmed();
  EXPECT_EQ(service_->totalInvalidations(), 1);  // the warm-up's
  reply.reset();
  socket.reset();
  ASSERT_TRUE(service_->waitForInvalidations(2));
  EXPECT_TRUE(waitForFdCount(baseline_));
}

TEST_F(HostileClientTest, DescriptorsSentByTheClientAreClosedAtOnce) {
  UniqueFd socket = dial(runtime_.socketPath());
  ASSERT_TRUE(rawFetch(socket, 20));  // accepted: its descriptor is counted below
  std::vector<UniqueFd> mine;
  std::vector<const UniqueFd*> fds;
  for (int i = 0; i < 100; ++i) mine.push_back(openDevNull());
  for (auto& fd : mine) fds.push_back(&fd);
  int before = quietFdCount();
  std::string beforeFds = describeFds();

  // Three; more than there is room for; a zero-byte message of two.
  ASSERT_TRUE(sendBytes(socket, validRequest(21), std::span(fds).first(3)));
  ASSERT_TRUE(sendBytes(socket, validRequest(22), fds));
  ASSERT_TRUE(sendBytes(socket, {}, std::span(fds).first(2)));
  for (std::uint32_t id : {21u, 22u, 0u}) {
    auto reply = receiveReply(socket);
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->reply.kind, wire::ReplyKind::error);
    EXPECT_EQ(reply->reply.error, wire::ErrorCode::descriptorsNotAccepted);
    EXPECT_EQ(reply->reply.requestId, id);
  }
  // The listener's copies were closed before it replied.
  EXPECT_EQ(openFdCount(), before) << beforeFds << "\n" << describeFds();
  EXPECT_TRUE(log_.containsError(connectionPrefix() +
                                 "request carried 3 descriptor(s); closed them unread — "
                                 "replied with an error"));

  auto next = rawFetch(socket, 23);
  ASSERT_TRUE(next);
  EXPECT_EQ(next->reply.kind, wire::ReplyKind::surface);
  expectBystanderUnharmed();
}

// A client that asks and never reads blocks nobody: a thousand others are
// answered meanwhile, and it gets every reply, in order, once it reads.
TEST_F(HostileClientTest, AHogAndAThousandConnectionsAreAllAnswered) {
  std::size_t before = service_->accepted();
  UniqueFd hog = dial(runtime_.socketPath());
  // No request is read while a reply with descriptors is unread, so the
  // hog's own socket fills up with its requests.
  std::uint32_t asked = 0;
  while (asked < 5000 && sendBytes(hog, validRequest(asked))) ++asked;
  ASSERT_LT(asked, 5000u);

  std::vector<UniqueFd> sockets;
  for (std::uint32_t i = 0; i < 1000; ++i) {
    sockets.push_back(dial(runtime_.socketPath()));
    ASSERT_TRUE(sockets.back());
    ASSERT_TRUE(sendBytes(sockets.back(), validRequest(i)));
  }
  for (std::uint32_t i = 0; i < 1000; ++i) {
    auto reply = receiveReply(sockets[i]);
    ASSERT_TRUE(reply) << "connection " << i;
    EXPECT_EQ(reply->reply.kind, wire::ReplyKind::surface);
    EXPECT_EQ(reply->reply.requestId, i);
    EXPECT_EQ(reply->fds.size(), 2u);
  }
  EXPECT_EQ(service_->accepted(), before + 1001);
  expectBystanderUnharmed();
  for (std::uint32_t i = 0; i < asked; ++i) {
    auto reply = receiveReply(hog);
    ASSERT_TRUE(reply) << "reply " << i << " of " << asked;
    EXPECT_EQ(reply->reply.requestId, i);
    ASSERT_EQ(reply->fds.size(), 2u);
  }
  EXPECT_EQ(linesStartingWith(connectionPrefix()), 0u);  // nothing dropped, nothing wrong
  sockets.clear();
  hog.reset();
  ASSERT_TRUE(service_->waitForInvalidations(1002));
  EXPECT_TRUE(waitForFdCount(baseline_));
  expectBystanderUnharmed();
}

TEST_F(HostileClientTest, RunningOutOfDescriptorsBacksOffAndRecovers) {
#ifdef __SANITIZE_ADDRESS__
  GTEST_SKIP() << "UBSan probes vtables through a pipe: with no descriptors left, false alarms";
#endif
  rlimit original{};
  ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &original), 0);
  // Made before the drought: connect() needs no new descriptor here, and
  // the kernel queues the connection for the listener.
  UniqueFd late(::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0));
  ASSERT_TRUE(late);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strncpy(address.sun_path, runtime_.socketPath().c_str(), sizeof address.sun_path - 1);

  rlimit lowered = original;
  lowered.rlim_cur = static_cast<rlim_t>(openFdCount() + 16);
  ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &lowered), 0);
  std::vector<UniqueFd> fillers;
  // Whatever fails below, later tests get their descriptors back.
  struct Restore {
    std::vector<UniqueFd>& fillers;
    rlimit limit;
    ~Restore() {
      fillers.clear();
      ::setrlimit(RLIMIT_NOFILE, &limit);
    }
  } restore{fillers, original};
  for (;;) {
    UniqueFd fd = openDevNull();
    if (!fd) break;
    fillers.push_back(std::move(fd));
  }
  ASSERT_EQ(errno, EMFILE);

  ASSERT_EQ(::connect(late.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address),
            0);
  const std::string exhausted =
      "listener: accept failed: Too many open files — retrying every 100 ms";
  EXPECT_TRUE(log_.waitFor(exhausted, 5s));
  // A fetch meanwhile cannot get descriptors: an error, not a crash.
  auto starved = rawFetch(bystander_, 50);
  ASSERT_TRUE(starved);
  EXPECT_EQ(starved->reply.kind, wire::ReplyKind::error);
  EXPECT_EQ(starved->reply.error, wire::ErrorCode::surfaceUnavailable);
  // That took a second of retries to answer; accepting was retried as
  // often meanwhile, and the line stays single.
  fillers.clear();
  ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &original), 0);
  EXPECT_EQ(log_.count(exhausted), 1u);
  EXPECT_TRUE(log_.waitFor("listener: accepting connections again", 5s));

  auto reply = rawFetch(late, 51);
  ASSERT_TRUE(reply);
  EXPECT_EQ(reply->reply.kind, wire::ReplyKind::surface);
  reply.reset();
  expectBystanderUnharmed();
  late.reset();
  ASSERT_TRUE(service_->waitForInvalidations(2));
  EXPECT_TRUE(waitForFdCount(baseline_));
}

TEST_F(HostileClientTest, ConnectionFromAnotherUserIsRefused) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to connect as another user";
  std::size_t accepted = service_->accepted();
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strncpy(address.sun_path, runtime_.socketPath().c_str(), sizeof address.sun_path - 1);
  auto request = validRequest(1);

  pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    // Only system calls from here on. The peer credentials record the
    // effective uid; the file system uid 0 still lets it reach our socket.
    if (::setresuid(65534, 65534, 0) != 0) ::_exit(10);
    ::setfsuid(0);
    for (int i = 0; i < 50; ++i) {
      int fd = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
      if (fd < 0) ::_exit(11);
      if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0)
        ::_exit(12);
      ::send(fd, request.data(), request.size(), MSG_NOSIGNAL);
      pollfd entry{fd, POLLIN, 0};
      if (::poll(&entry, 1, 5000) != 1) ::_exit(13);
      char buffer[256];
      if (::recv(fd, buffer, sizeof buffer, 0) > 0) ::_exit(14);  // answered: not refused
      ::close(fd);
    }
    ::_exit(0);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
  EXPECT_TRUE(log_.waitFor("listener: refusing connection from pid=" + std::to_string(child) +
                               " uid=65534 — not our user (uid=0)",
                           5s));
  EXPECT_EQ(service_->accepted(), accepted);
  expectBystanderUnharmed();
  EXPECT_TRUE(waitForFdCount(baseline_));
  // The other 49 only in a sum, at the end of the minute or of the listener.
  listener_.reset();
  EXPECT_EQ(linesStartingWith("listener: refusing"), 1u);
  EXPECT_TRUE(log_.containsError("listener: refused 50 connections from other users in the last "
                                 "minute"));
}

}  // namespace
}  // namespace fenwright::testing
