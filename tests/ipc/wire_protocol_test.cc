// The wire format byte for byte, and decoders that survive any input.

#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "protocol/wire_protocol.h"

namespace fenwright::wire {
namespace {

TEST(WireProtocolTest, RequestBytesAreAsDocumented) {
  auto bytes = encodeRequest({Operation::fetchSurface, 0x04030201});
  ASSERT_EQ(bytes.size(), 80u);
  const std::uint8_t head[] = {'F', 'W', 'R', 'Q', 1, 0, 1, 0, 1, 2, 3, 4, 0, 0, 0, 0};
  EXPECT_EQ(std::memcmp(bytes.data(), head, sizeof head), 0);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(&bytes[16])), "PiPSurfaceProtocol");
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(&bytes[48])), "fetchSurfaceWithReply:");
  for (std::size_t i = 16 + 18; i < 48; ++i) EXPECT_EQ(bytes[i], 0) << i;
  for (std::size_t i = 48 + 22; i < 80; ++i) EXPECT_EQ(bytes[i], 0) << i;

  auto decoded = decodeRequest(bytes, bytes.size());
  ASSERT_TRUE(decoded.request) << decoded.reason;
  EXPECT_EQ(decoded.request->requestId, 0x04030201u);
  EXPECT_EQ(decoded.error, ErrorCode::none);
}

TEST(WireProtocolTest, SurfaceReplyBytesAreAsDocumented) {
  Reply reply;
  reply.kind = ReplyKind::surface;
  reply.requestId = 9;
  reply.surface = {0x0A0B0C0D, 640, 360, 2560, 921600, kPixelFormatBGRA, 4096};
  auto bytes = encodeReply(reply);
  ASSERT_EQ(bytes.size(), 128u);
  const std::uint8_t expected[56] = {
      'F', 'W', 'R', 'P', 1, 0, 1, 0,  9, 0, 0, 0,  0, 0, 0, 0,   // magic version kind id error
      0x0D, 0x0C, 0x0B, 0x0A,  0x80, 0x02, 0, 0,  0x68, 0x01, 0, 0,  // id width height
      0x00, 0x0A, 0, 0,  0x00, 0x10, 0x0E, 0, 0, 0, 0, 0,           // bytesPerRow allocationSize
      0x41, 0x52, 0x47, 0x42,  0x00, 0x10, 0, 0,  2, 0, 0, 0,  0, 0, 0, 0};  // BGRA control fds
  EXPECT_EQ(std::memcmp(bytes.data(), expected, sizeof expected), 0);
  for (std::size_t i = 56; i < 128; ++i) EXPECT_EQ(bytes[i], 0) << i;

  auto decoded = decodeReply(bytes, bytes.size());
  ASSERT_TRUE(decoded.reply) << decoded.reason;
  EXPECT_EQ(decoded.reply->surface.surfaceId, 0x0A0B0C0Du);
  EXPECT_EQ(decoded.reply->surface.allocationSize, 921600u);
}

TEST(WireProtocolTest, ErrorReplyCarriesItsMessageCutToTheField) {
  Reply reply;
  reply.kind = ReplyKind::error;
  reply.requestId = 3;
  reply.error = ErrorCode::unknownOperation;
  reply.message = std::string(100, 'm');
  auto bytes = encodeReply(reply);
  for (std::size_t i = 16; i < 56; ++i) EXPECT_EQ(bytes[i], 0) << i;
  auto decoded = decodeReply(bytes, bytes.size());
  ASSERT_TRUE(decoded.reply) << decoded.reason;
  EXPECT_EQ(decoded.reply->error, ErrorCode::unknownOperation);
  EXPECT_EQ(decoded.reply->message, std::string(72, 'm'));
}

TEST(WireProtocolTest, RequestIdIsEchoedOnlyWhenItCanBeRead) {
  auto bytes = encodeRequest({Operation::fetchSurface, 77});
  EXPECT_EQ(decodeRequest(std::span(bytes).first(12), 12).requestId, 77u);
  EXPECT_EQ(decodeRequest(std::span(bytes).first(11), 11).requestId, 0u);
  bytes[1] = 'X';
  EXPECT_EQ(decodeRequest(bytes, bytes.size()).requestId, 0u);
  EXPECT_EQ(decodeRequest(bytes, bytes.size()).error, ErrorCode::badMagic);
}

TEST(WireProtocolTest, CutMessageIsJudgedByItsRealSize) {
  auto bytes = encodeRequest({Operation::fetchSurface, 1});
  auto decoded = decodeRequest(bytes, 5000);  // 80 bytes read of 5000 sent
  EXPECT_FALSE(decoded.request);
  EXPECT_EQ(decoded.error, ErrorCode::badSize);
  EXPECT_EQ(decoded.reason, "request is 5000 bytes, expected 80");
}

// Random and mutated input: the fuzzers (tests/fuzz) check the decoders
// never accept what is unsafe to map, and never crash.

}  // namespace
}  // namespace fenwright::wire
