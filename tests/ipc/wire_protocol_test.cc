// The wire format's edges. Byte for byte as documented: the documented
// Python client against the real helper (tests/scripts); random input: the
// fuzzers.

#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "protocol/wire_protocol.h"

namespace fenwright::wire {
namespace {

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

// The id is echoed only when it can be read; a message cut to the buffer
// is judged by its real size.
TEST(WireProtocolTest, RefusedRequestsEchoTheIdOnlyWhenItCanBeRead) {
  auto bytes = encodeRequest({Operation::fetchSurface, 77});
  EXPECT_EQ(decodeRequest(std::span(bytes).first(12), 12).requestId, 77u);
  EXPECT_EQ(decodeRequest(std::span(bytes).first(11), 11).requestId, 0u);
  auto cut = decodeRequest(bytes, 5000);  // 80 bytes read of 5000 sent
  EXPECT_FALSE(cut.request);
  EXPECT_EQ(cut.error, ErrorCode::badSize);
  EXPECT_EQ(cut.reason, "request is 5000 bytes, expected 80");
  bytes[1] = 'X';
  EXPECT_EQ(decodeRequest(bytes, bytes.size()).requestId, 0u);
  EXPECT_EQ(decodeRequest(bytes, bytes.size()).error, ErrorCode::badMagic);
}

}  // namespace
}  // namespace fenwright::wire
