// A client that sends everything but proper requests, for a while, on the
// one connection the helper serves: every bad packet gets its error reply,
// every good one the surface, the log stays short and the helper stays up.
// (A second connection cannot be used: the helper exits when any of its
// clients goes away.)

#include <fcntl.h>
#include <gtest/gtest.h>

#include <array>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "platform/ipc/seq_packet_socket.h"
#include "service/wire_protocol.h"
#include "support/helper_process.h"
#include "support/surface_probe.h"

namespace fenwright::testing {
namespace {

using namespace std::chrono_literals;

// One reply to whatever was just sent.
struct Answer {
  std::optional<wire::Reply> reply;
  std::vector<UniqueFd> fds;
  std::string problem;
};

Answer awaitReply(const UniqueFd& socket) {
  Answer answer;
  if (waitReadable(socket, 5s) != Readiness::ready) {
    answer.problem = "no reply within 5 s";
    return answer;
  }
  ReceivedPacket packet = receivePacket(socket, wire::kReplySize, 4);
  if (packet.status != ReceivedPacket::Status::message) {
    answer.problem = "the connection ended";
    return answer;
  }
  auto decoded = wire::decodeReply(packet.bytes, packet.size);
  if (!decoded.reply) {
    answer.problem = "bad reply: " + decoded.reason;
    return answer;
  }
  answer.reply = *decoded.reply;
  answer.fds = std::move(packet.fds);
  return answer;
}

struct Garbage {
  std::vector<std::uint8_t> bytes;
  wire::ErrorCode expected;
  bool withDescriptor = false;
};

std::vector<Garbage> garbageRound(std::mt19937& random, std::uint32_t requestId) {
  auto valid = wire::encodeRequest({wire::Operation::fetchSurface, requestId});
  auto noise = [&](std::size_t size) {
    std::vector<std::uint8_t> bytes(size);
    for (auto& b : bytes) b = static_cast<std::uint8_t>(random());
    return bytes;
  };
  std::vector<Garbage> round;
  round.push_back({{}, wire::ErrorCode::badSize});
  round.push_back({noise(1 + random() % 79), wire::ErrorCode::badSize});
  round.push_back({noise(81 + random() % 4000), wire::ErrorCode::badSize});
  round.push_back({noise(65536), wire::ErrorCode::badSize});
  auto badMagic = noise(wire::kRequestSize);
  badMagic[0] = 'X';
  round.push_back({badMagic, wire::ErrorCode::badMagic});
  std::vector<std::uint8_t> bytes(valid.begin(), valid.end());
  bytes[4] = 9;
  round.push_back({bytes, wire::ErrorCode::unsupportedVersion});
  bytes.assign(valid.begin(), valid.end());
  bytes[6] = 7;
  round.push_back({bytes, wire::ErrorCode::unknownOperation});
  bytes.assign(valid.begin(), valid.end());
  bytes[16 + 18] = '!';  // a byte smuggled after the protocol name
  round.push_back({bytes, wire::ErrorCode::nameMismatch});
  bytes.assign(valid.begin(), valid.end());
  round.push_back({bytes, wire::ErrorCode::descriptorsNotAccepted, true});
  return round;
}

TEST(Soak, HostileClientThenValidFetchesKeepWorking) {
  SentinelHome home;
  ASSERT_EQ(writeSentinel(home, patternSentinel()), "");
  HelperProcess helper(home);
  ASSERT_TRUE(helper.start());
  ASSERT_TRUE(helper.waitForLogContaining("listening on ", 10s)) << helper.log();
  auto socket = connectSeqPacket(helper.socketPath());
  ASSERT_TRUE(socket) << socket.error();

  UniqueFd passed(::open("/dev/null", O_RDONLY | O_CLOEXEC));
  ASSERT_TRUE(passed);
  const UniqueFd* passedFds[] = {&passed};

  std::mt19937 random(20261206);
  const auto end = std::chrono::steady_clock::now() + std::min(soakDuration(3), 30s);
  std::uint32_t requestId = 1;
  int bad = 0, good = 0;
  while (std::chrono::steady_clock::now() < end) {
    for (const Garbage& garbage : garbageRound(random, requestId)) {
      auto sent = garbage.withDescriptor ? sendPacket(*socket, garbage.bytes, passedFds)
                                         : sendPacket(*socket, garbage.bytes);
      ASSERT_EQ(sent.status, SendOutcome::Status::sent) << helper.log();
      Answer answer = awaitReply(*socket);
      ASSERT_TRUE(answer.reply) << answer.problem << "\n" << helper.log();
      ASSERT_EQ(answer.reply->kind, wire::ReplyKind::error);
      ASSERT_EQ(answer.reply->error, garbage.expected) << answer.reply->message;
      ASSERT_TRUE(answer.fds.empty());
      ++bad;
    }
    ++requestId;
    auto request = wire::encodeRequest({wire::Operation::fetchSurface, requestId});
    ASSERT_EQ(sendPacket(*socket, request).status, SendOutcome::Status::sent);
    Answer answer = awaitReply(*socket);
    ASSERT_TRUE(answer.reply) << answer.problem << "\n" << helper.log();
    ASSERT_EQ(answer.reply->kind, wire::ReplyKind::surface) << answer.reply->message;
    ASSERT_EQ(answer.reply->requestId, requestId);
    ASSERT_EQ(answer.fds.size(), 2u);
    auto mapped = client::MappedSurface::map(answer.reply->surface, std::move(answer.fds[0]),
                                             std::move(answer.fds[1]));
    ASSERT_TRUE(mapped) << mapped.error();
    // Until the first pattern frame lands (seed 0) the surface is empty.
    auto frame = waitForFrame(*mapped, [](const Frame& f) { return opaqueEverywhere(f); });
    ASSERT_TRUE(frame.matched) << "seed " << (frame.last ? frame.last->seed : 0);
    ++good;
    ++requestId;
  }
  std::printf("soak: %d bad packets answered with errors, %d good fetches\n", bad, good);
  EXPECT_TRUE(helper.process().running());
  // The log says what went wrong, but only so often per connection.
  EXPECT_EQ(
      helper.countContaining("malformed request") + helper.countContaining("closed them unread"),
      20u)
      << helper.log().substr(0, 20000);
  EXPECT_EQ(helper.countContaining("further problems on it are not logged"), 1u);
  EXPECT_LT(helper.messages().size(), 100u + 2u * static_cast<std::size_t>(good));

  socket = Result<UniqueFd>::failure("closed");
  EXPECT_EQ(helper.waitForExit(10s), std::optional<int>(0)) << helper.log().substr(0, 20000);
}

}  // namespace
}  // namespace fenwright::testing
