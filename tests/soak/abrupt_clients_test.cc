// Clients that do not leave politely: one killed by SIGKILL in the middle
// of a fetch, and five hundred arriving at once. Either way the helper
// answers what it can, logs the disconnect and exits 0, as it does for any
// client that goes away.

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fmt/format.h>
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "platform/ipc/seq_packet_socket.h"
#include "service/wire_protocol.h"
#include "support/helper_process.h"
#include "support/surface_probe.h"

namespace fenwright::testing {
namespace {

using namespace std::chrono_literals;

constexpr const char* kClientGone =
    "connection invalidated — extension disconnected; shutting down";

enum class KilledWhen { beforeTheReply, holdingTheSurface };

class ClientKilledMidFetch : public ::testing::TestWithParam<KilledWhen> {};

TEST_P(ClientKilledMidFetch, HelperLogsTheDisconnectAndExitsZero) {
  SentinelHome home;
  ASSERT_EQ(writeSentinel(home, patternSentinel()), "");
  HelperProcess helper(home);
  ASSERT_TRUE(helper.start());
  ASSERT_TRUE(helper.waitForLogContaining("listening on ", 10s)) << helper.log();

  // Everything the child needs is made before the fork: after it, only
  // async-signal-safe calls.
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  const std::string path = helper.socketPath().string();
  ASSERT_LT(path.size(), sizeof(address.sun_path));
  std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
  const auto request = wire::encodeRequest({wire::Operation::fetchSurface, 1});
  const bool readReply = GetParam() == KilledWhen::holdingTheSurface;
  int ready[2];
  ASSERT_EQ(::pipe2(ready, O_CLOEXEC), 0);

  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    ::close(ready[0]);
    int s = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    if (s < 0 || ::connect(s, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0)
      ::_exit(2);
    if (::send(s, request.data(), request.size(), MSG_NOSIGNAL) !=
        static_cast<ssize_t>(request.size()))
      ::_exit(3);
    if (readReply) {
      alignas(cmsghdr) char control[CMSG_SPACE(4 * sizeof(int))];
      std::uint8_t bytes[256];
      iovec io{bytes, sizeof bytes};
      msghdr message{};
      message.msg_iov = &io;
      message.msg_iovlen = 1;
      message.msg_control = control;
      message.msg_controllen = sizeof control;
      if (::recvmsg(s, &message, MSG_CMSG_CLOEXEC) <= 0) ::_exit(4);
    }
    char done = 'x';
    if (::write(ready[1], &done, 1) != 1) ::_exit(5);
    for (;;) ::pause();
  }
  ::close(ready[1]);
  UniqueFd readyEnd(ready[0]);
  pollfd pfd{readyEnd.get(), POLLIN, 0};
  const bool childReady = ::poll(&pfd, 1, 10000) == 1;
  ::kill(child, SIGKILL);
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ASSERT_TRUE(childReady) << "the child never got that far; status " << status << "\n"
                          << helper.log();
  ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL);

  EXPECT_EQ(helper.waitForExit(10s), std::optional<int>(0)) << helper.log();
  EXPECT_EQ(helper.countContaining(fmt::format("accepting XPC connection from pid={}", child)), 1u)
      << helper.log();
  EXPECT_EQ(helper.countContaining(kClientGone), 1u) << helper.log();
  if (readReply) {
    EXPECT_EQ(helper.countContaining("fetchSurface: vending"), 1u) << helper.log();
    EXPECT_EQ(helper.errorLines(), 0u) << helper.log();
  }
  std::printf("soak: client pid %d killed %s; helper log %zu lines, %zu errors\n", child,
              readReply ? "holding the surface" : "before the reply", helper.messages().size(),
              helper.errorLines());
}

INSTANTIATE_TEST_SUITE_P(Soak, ClientKilledMidFetch,
                         ::testing::Values(KilledWhen::beforeTheReply,
                                           KilledWhen::holdingTheSurface),
                         [](const auto& info) {
                           return std::string(info.param == KilledWhen::beforeTheReply
                                                  ? "BeforeTheReply"
                                                  : "HoldingTheSurface");
                         });

TEST(Soak, FiveHundredClientsAtOnce) {
  constexpr int kClients = 500;
  SentinelHome home;
  ASSERT_EQ(writeSentinel(home, patternSentinel()), "");
  HelperProcess helper(home);
  ASSERT_TRUE(helper.start());
  ASSERT_TRUE(helper.waitForLogContaining("listening on ", 10s)) << helper.log();

  // All connected before any asks, then all ask in one burst.
  std::vector<UniqueFd> sockets;
  for (int i = 0; i < kClients; ++i) {
    auto socket = connectSeqPacket(helper.socketPath());
    ASSERT_TRUE(socket) << "client " << i << ": " << socket.error();
    sockets.push_back(std::move(*socket));
  }
  for (int i = 0; i < kClients; ++i) {
    auto request =
        wire::encodeRequest({wire::Operation::fetchSurface, static_cast<std::uint32_t>(i + 1)});
    ASSERT_EQ(sendPacket(sockets[i], request).status, SendOutcome::Status::sent) << "client " << i;
  }

  // Replies, read as they come; descriptors beyond the first surface are
  // closed at once so this process needs no more than a few spare.
  int surfaces = 0, errors = 0, mismatched = 0;
  std::optional<client::MappedSurface> mapped;
  std::vector<bool> answered(kClients, false);
  int pending = kClients;
  const auto deadline = std::chrono::steady_clock::now() + 30s;
  std::vector<pollfd> polls(kClients);
  while (pending > 0 && std::chrono::steady_clock::now() < deadline) {
    for (int i = 0; i < kClients; ++i)
      polls[i] = {answered[i] ? -1 : sockets[i].get(), POLLIN, 0};
    if (::poll(polls.data(), polls.size(), 200) <= 0) continue;
    for (int i = 0; i < kClients; ++i) {
      if (answered[i] || !(polls[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
      ReceivedPacket packet = receivePacket(sockets[i], wire::kReplySize, 4);
      if (packet.status == ReceivedPacket::Status::wouldBlock) continue;
      answered[i] = true;
      --pending;
      if (packet.status != ReceivedPacket::Status::message) continue;
      auto decoded = wire::decodeReply(packet.bytes, packet.size);
      if (!decoded.reply || decoded.reply->requestId != static_cast<std::uint32_t>(i + 1)) {
        ++mismatched;
        continue;
      }
      if (decoded.reply->kind != wire::ReplyKind::surface || packet.fds.size() != 2) {
        ++errors;
        continue;
      }
      ++surfaces;
      if (!mapped) {
        auto m = client::MappedSurface::map(decoded.reply->surface, std::move(packet.fds[0]),
                                            std::move(packet.fds[1]));
        ASSERT_TRUE(m) << m.error();
        mapped = std::move(*m);
      }
    }
  }
  std::printf("soak: %d clients at once: %d surfaces, %d error replies, %d bad, %d unanswered\n",
              kClients, surfaces, errors, mismatched, pending);
  EXPECT_TRUE(helper.process().running()) << helper.log().substr(0, 20000);
  EXPECT_EQ(surfaces, kClients) << helper.log().substr(0, 20000);
  EXPECT_EQ(mismatched, 0);
  ASSERT_TRUE(mapped);
  auto frame = waitForFrame(*mapped, [](const Frame& f) { return opaqueEverywhere(f); });
  EXPECT_TRUE(frame.matched);
  EXPECT_EQ(helper.countContaining("accepting XPC connection from pid="),
            static_cast<std::size_t>(kClients));

  // The first one leaves: the helper ends, and every other client sees its
  // connection close rather than hang.
  sockets[0].reset();
  EXPECT_EQ(helper.waitForExit(10s), std::optional<int>(0)) << helper.log().substr(0, 20000);
  EXPECT_GE(helper.countContaining(kClientGone), 1u);
  EXPECT_EQ(helper.count("shutdown — invalidating listener + exit"), 1u);
  int closedSeen = 0;
  for (int i = 1; i < kClients; ++i) {
    if (waitReadable(sockets[i], 2s) != Readiness::ready) continue;
    closedSeen += receivePacket(sockets[i], wire::kReplySize, 4).status ==
                  ReceivedPacket::Status::closed;
  }
  EXPECT_EQ(closedSeen, kClients - 1);
}

}  // namespace
}  // namespace fenwright::testing
