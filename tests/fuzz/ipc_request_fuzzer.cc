// Bytes of a request packet in, a decision out: never a crash, and whatever
// the helper accepts is exactly what a client would have sent.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>
#include <string>

#include "protocol/wire_protocol.h"

namespace {

namespace wire = fenwright::wire;

void check(bool condition) {
  if (!condition) std::abort();
}

void checkDecoding(std::span<const std::uint8_t> bytes, std::size_t size) {
  wire::RequestDecoding decoded = wire::decodeRequest(bytes, size);
  bool whole = size == wire::kRequestSize && bytes.size() == wire::kRequestSize;
  bool magic = wire::detail::hasMagic(bytes, wire::kRequestMagic);

  // The helper answers every refusal with its error code and a reason.
  check(decoded.request.has_value() == (decoded.error == wire::ErrorCode::none));
  check(decoded.request.has_value() || !decoded.reason.empty());
  check((decoded.error == wire::ErrorCode::badSize) == !whole);
  // The id is echoed in the error reply: only read when it is really there.
  check(decoded.requestId == (magic && bytes.size() >= 12 ? wire::detail::get32(&bytes[8]) : 0));
  // Accepted, it is exactly what a client sends: only the ignored
  // reserved field (12..15) may differ.
  if (!decoded.request) return;
  auto encoded = wire::encodeRequest(*decoded.request);
  for (std::size_t i = 0; i < wire::kRequestSize; ++i)
    check((i >= 12 && i < 16) || encoded[i] == bytes[i]);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::span<const std::uint8_t> bytes(data, size);
  checkDecoding(bytes, size);
  // The listener reads into an 80-byte buffer and learns the real length
  // from MSG_TRUNC: the decoder then sees a prefix of a longer message.
  checkDecoding(bytes.first(std::min(size, wire::kRequestSize)), size);
  // However long the reason, its error reply carries it cut to the field.
  wire::Reply error{wire::ReplyKind::error, 1, wire::ErrorCode::badSize, {},
                    std::string(size, 'm')};
  auto encoded = wire::encodeReply(error);
  auto back = wire::decodeReply(encoded, encoded.size());
  check(back.reply && back.reply->message == error.message.substr(0, wire::kMessageFieldSize));
  return 0;
}
