// Hundreds of clients arriving at once while two never read: the helper
// answers every one, though the kernel caps the descriptors it may have in
// flight, and exits 0 when the first goes away. The rest of what hostile
// clients do is shown in-process, in tests/ipc.

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <optional>
#include <vector>

#include "support/helper_process.h"
#include "support/surface_probe.h"
#include "tests/ipc/ipc_test_support.h"

namespace fenwright::testing {
namespace {

using namespace std::chrono_literals;

// Each surface reply carries two descriptors, and the kernel lets one user
// have no more in flight than its RLIMIT_NOFILE (root is exempt): 700
// clients asking at once, after two that pipeline fetches and never read,
// need more than the helper's 1024. A client told there was no room asks
// again.
TEST(Soak, SevenHundredClientsAtOnceWhileTwoHogAllGetAReply) {
  constexpr int kClients = 700;
  SentinelHome home;
  ASSERT_EQ(home.write(patternSentinel()), "");
  HelperProcess helper(home);
  ASSERT_TRUE(helper.start({"/bin/sh", "-c", "ulimit -n 1024 && exec \"$0\""}));
  ASSERT_TRUE(helper.waitForLog("listening on ", 10s));
  auto ask = [](const UniqueFd& socket, std::uint32_t id) {
    return sendBytes(socket, fetchRequest(id));
  };
  // The hogs ask until their own sockets are full, and read nothing yet;
  // then all the others connect, and ask in one burst.
  std::vector<UniqueFd> hogs, sockets;
  std::vector<std::uint32_t> hogAsked(2, 0);
  for (int i = 0; i < 2 + kClients; ++i) {
    auto socket = connectSeqPacket(helper.socketPath());
    ASSERT_TRUE(socket) << "client " << i << ": " << socket.error();
    (i < 2 ? hogs : sockets).push_back(std::move(*socket));
    while (i < 2 && hogAsked[i] < 5000 && ask(hogs[i], hogAsked[i])) ++hogAsked[i];
  }
  for (int i = 0; i < kClients; ++i) ASSERT_TRUE(ask(sockets[i], i + 1)) << "client " << i;

  // Read in rounds, so replies held in flight drain; descriptors beyond
  // the first surface close at once, so this process needs few spare.
  int surfaces = 0, retries = 0;
  std::optional<client::MappedSurface> mapped;
  std::vector<int> waiting(kClients);
  for (int i = 0; i < kClients; ++i) waiting[i] = i;
  for (int round = 0; !waiting.empty() && round < 1000; ++round) {
    std::vector<int> again;
    for (int i : waiting) {
      auto reply = receiveReply(sockets[i], 30s);
      if (reply && reply->reply.error == wire::ErrorCode::surfaceUnavailable) {
        ASSERT_TRUE(ask(sockets[i], i + 1));
        again.push_back(i);
        ++retries;
        continue;
      }
      ASSERT_TRUE(reply && reply->reply.requestId == static_cast<std::uint32_t>(i + 1) &&
                  reply->reply.kind == wire::ReplyKind::surface && reply->fds.size() == 2)
          << "client " << i << "\n" << helper.log().substr(0, 20000);
      ++surfaces;
      if (mapped) continue;
      auto m = client::MappedSurface::map(reply->reply.surface, std::move(reply->fds[0]),
                                          std::move(reply->fds[1]));
      ASSERT_TRUE(m) << m.error();
      mapped = std::move(*m);
    }
    waiting = std::move(again);
  }
  std::printf("soak: %d clients at once, 2 hogs asking %u and %u: %d surfaces, %d \"no room\" "
              "replies asked again\n",
              kClients, hogAsked[0], hogAsked[1], surfaces, retries);
  ASSERT_EQ(surfaces, kClients);
  EXPECT_TRUE(waitForFrame(*mapped, [](const Frame& f) { return opaqueEverywhere(f); }).matched);
  EXPECT_EQ(helper.count("reply dropped"), 0u) << helper.log().substr(0, 20000);

  // The hogs lost nothing: every fetch answered, in order, once they read.
  for (int h = 0; h < 2; ++h) {
    ASSERT_LT(hogAsked[h], 5000u);
    for (std::uint32_t id = 0; id < hogAsked[h]; ++id) {
      auto reply = receiveReply(hogs[h], 30s);
      ASSERT_TRUE(reply && reply->reply.requestId == id) << "hog " << h << ", reply " << id;
      ASSERT_EQ(reply->fds.size(), reply->reply.kind == wire::ReplyKind::surface ? 2u : 0u);
    }
  }

  // The first one leaves: the helper ends, and every other client sees its
  // connection close rather than hang.
  sockets[0].reset();
  EXPECT_EQ(helper.waitForExit(10s), std::optional<int>(0)) << helper.log().substr(0, 20000);
  EXPECT_EQ(helper.count("shutdown — invalidating listener + exit"), 1u);
  for (int i = 1; i < kClients; ++i) {
    ASSERT_EQ(waitReadable(sockets[i], 2s), Readiness::ready) << "client " << i;
    EXPECT_EQ(receivePacket(sockets[i], wire::kReplySize, 4).status,
              ReceivedPacket::Status::closed);
  }
}

}  // namespace
}  // namespace fenwright::testing
