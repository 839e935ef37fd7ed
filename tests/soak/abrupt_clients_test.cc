// Hundreds of clients arriving at once while two never read: the helper
// answers every one, though the kernel caps the descriptors it may have in
// flight, and exits 0 when the first goes away. The rest of what hostile
// clients do is shown in-process, in tests/ipc (a client killed mid-fetch
// is, to the socket, one that closed: ListenerTest's peers that leave).

#include <poll.h>
#include <sys/socket.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "platform/ipc/seq_packet_socket.h"
#include "protocol/wire_protocol.h"
#include "support/helper_process.h"
#include "support/surface_probe.h"

namespace fenwright::testing {
namespace {

using namespace std::chrono_literals;

constexpr const char* kClientGone =
    "connection invalidated — extension disconnected; shutting down";

// Each surface reply carries two descriptors, and the kernel lets one user
// have no more in flight than its RLIMIT_NOFILE (root is exempt): 700
// clients asking at once, after two that pipeline fetches and never read,
// need more than the helper's 1024.
TEST(Soak, SevenHundredClientsAtOnceWhileTwoHogAllGetAReply) {
  constexpr int kClients = 700;
  SentinelHome home;
  ASSERT_EQ(home.write(patternSentinel()), "");
  HelperProcess helper(home);
  ASSERT_TRUE(helper.start({"/bin/sh", "-c", "ulimit -n 1024 && exec \"$0\""}));
  ASSERT_TRUE(helper.waitForLogContaining("listening on ", 10s)) << helper.log();
  auto request = [](std::uint32_t id) {
    return wire::encodeRequest({wire::Operation::fetchSurface, id});
  };

  // The hogs ask until their own sockets are full, and read nothing yet.
  std::vector<UniqueFd> hogs;
  std::vector<std::uint32_t> hogAsked;
  for (int h = 0; h < 2; ++h) {
    auto socket = connectSeqPacket(helper.socketPath());
    ASSERT_TRUE(socket) << socket.error();
    hogs.push_back(std::move(*socket));
    std::uint32_t asked = 0;
    while (asked < 5000 && sendPacket(hogs.back(), request(asked)).status ==
                               SendOutcome::Status::sent)
      ++asked;
    hogAsked.push_back(asked);
  }

  // All connected before any asks, then all ask in one burst.
  std::vector<UniqueFd> sockets;
  for (int i = 0; i < kClients; ++i) {
    auto socket = connectSeqPacket(helper.socketPath());
    ASSERT_TRUE(socket) << "client " << i << ": " << socket.error();
    sockets.push_back(std::move(*socket));
  }
  for (int i = 0; i < kClients; ++i) {
    ASSERT_EQ(sendPacket(sockets[i], request(i + 1)).status, SendOutcome::Status::sent)
        << "client " << i;
  }

  // Replies, read as they come; descriptors beyond the first surface are
  // closed at once so this process needs no more than a few spare. A
  // client told there was no room asks again.
  int surfaces = 0, errors = 0, mismatched = 0;
  std::optional<client::MappedSurface> mapped;
  std::vector<bool> answered(kClients, false);
  int pending = kClients;
  const auto deadline = std::chrono::steady_clock::now() + 60s;
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
      if (decoded.reply->kind == wire::ReplyKind::error && packet.fds.empty() &&
          decoded.reply->error == wire::ErrorCode::surfaceUnavailable) {
        ++errors;
        answered[i] = false;
        ++pending;
        ASSERT_EQ(sendPacket(sockets[i], request(i + 1)).status, SendOutcome::Status::sent);
        continue;
      }
      if (decoded.reply->kind != wire::ReplyKind::surface || packet.fds.size() != 2) {
        ++mismatched;
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
  std::printf("soak: %d clients at once, 2 hogs asking %u and %u: %d surfaces, %d \"no room\" "
              "replies asked again, %d bad, %d unanswered\n",
              kClients, hogAsked[0], hogAsked[1], surfaces, errors, mismatched, pending);
  EXPECT_TRUE(helper.process().running()) << helper.log().substr(0, 20000);
  EXPECT_EQ(surfaces, kClients) << helper.log().substr(0, 20000);
  EXPECT_EQ(mismatched, 0);
  ASSERT_TRUE(mapped);
  auto frame = waitForFrame(*mapped, [](const Frame& f) { return opaqueEverywhere(f); });
  EXPECT_TRUE(frame.matched);
  EXPECT_EQ(helper.countContaining("reply dropped"), 0u) << helper.log().substr(0, 20000);

  // The hogs lost nothing: every fetch answered, in order, once they read.
  for (int h = 0; h < 2; ++h) {
    ASSERT_LT(hogAsked[h], 5000u);
    for (std::uint32_t id = 0; id < hogAsked[h]; ++id) {
      ASSERT_EQ(waitReadable(hogs[h], 5s), Readiness::ready) << "hog " << h << ", reply " << id;
      ReceivedPacket packet = receivePacket(hogs[h], wire::kReplySize, 4);
      auto decoded = wire::decodeReply(packet.bytes, packet.size);
      ASSERT_TRUE(decoded.reply) << "hog " << h << ", reply " << id;
      ASSERT_EQ(decoded.reply->requestId, id);
      ASSERT_EQ(packet.fds.size(), decoded.reply->kind == wire::ReplyKind::surface ? 2u : 0u);
    }
  }

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
