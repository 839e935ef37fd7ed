#pragma once

// The wire protocol between the helper and its clients, version 1.
//
// Transport
//   A Unix socket of type SOCK_SEQPACKET at
//   $XDG_RUNTIME_DIR/Q2WXR7TZ4M.com.quenfield.app.pipmode (the directory is
//   the user's own, mode 0700; the socket is mode 0600). The helper takes
//   only connections from its own user. Every message below is exactly one
//   packet. Integers are unsigned and little-endian. Text fields are ASCII,
//   padded with NUL bytes to the field's length (a field may be full, with
//   no NUL).
//
// Request, client to helper: 80 bytes, no descriptors
//   offset size  field
//        0    4  magic       'F' 'W' 'R' 'Q'  (46 57 52 51)
//        4    2  version     1
//        6    2  operation   1 = fetchSurfaceWithReply:
//        8    4  requestId   any value; the reply carries it back
//       12    4  reserved    0 (ignored)
//       16   32  protocol    "PiPSurfaceProtocol"
//       48   32  selector    "fetchSurfaceWithReply:"
//
// Reply, helper to client: 128 bytes
//   offset size  field
//        0    4  magic       'F' 'W' 'R' 'P'  (46 57 52 50)
//        4    2  version     1
//        6    2  kind        1 = surface, 2 = nil (no surface), 3 = error
//        8    4  requestId   the request's, or 0 when it could not be read
//       12    4  error       an ErrorCode below when kind = 3, else 0
//       16    4  surfaceId   the surface's id, the same for every reply
//       20    4  width       pixels (640)
//       24    4  height      pixels (360)
//       28    4  bytesPerRow (2560)
//       32    8  allocationSize  bytes of the pixel memory (921600)
//       40    4  pixelFormat 0x42475241 ('BGRA': bytes B, G, R, A per pixel)
//       44    4  controlSize bytes of the control memory (4096)
//       48    4  descriptorCount  2 when kind = 1, else 0
//       52    4  reserved    0
//       56   72  message     why, when kind = 3; else empty
//   Bytes 16 to 51 are 0 unless kind = 1.
//
//   A surface reply carries one SCM_RIGHTS control message with two
//   descriptors, in this order: the pixel memory, then the control memory.
//   Both are opened read-only and sealed against shrinking and growing, so
//   a client maps them with PROT_READ and MAP_SHARED (writable mappings and
//   ftruncate fail). Every reply carries fresh descriptors; the client owns
//   and closes them. A nil or error reply carries none.
//
// Control memory, read-only for clients (native byte order: both ends run
//   on the same machine)
//   offset size  field
//        0    4  seed        sequence counter, see below
//        4    4  magic       0x46575343
//        8    4  width       as in the reply
//       12    4  height
//       16    4  bytesPerRow
//       20    4  pixelFormat 0x42475241
//   The seed is odd while the helper writes a frame and grows by 2 for each
//   finished frame. A tear-free copy: load the seed (acquire); if it is odd,
//   try again; copy the pixels; load the seed again (after an acquire
//   fence); if it changed, try again.
//   The seed is also a shared futex (no FUTEX_PRIVATE_FLAG): each finished
//   frame wakes every waiter. To sleep until the next frame, FUTEX_WAIT on
//   the seed while it holds the value last read (odd or even), then look
//   again; the wait may end early. Polling the seed works as well.
//
// Conversation
//   A client sends a request and reads its reply; it may ask again on the
//   same connection, as often as it likes. Replies come in request order.
//   A request that is not exactly as above is answered with an error reply
//   (kind 3) and the connection stays open. Descriptors sent by a client
//   are closed unread and the request is answered with error 6. A client
//   that does not read its replies loses them once its queue is full.
//   Closing the connection tells the helper the client is gone: the helper
//   then exits.
//
// Versions
//   A request whose version the helper does not speak gets error 3; the
//   reply's version field says which version the helper speaks. A later
//   version may add operations and reply kinds and use reserved bytes, but
//   keeps every offset above.

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "platform/pixel_format.h"

namespace fenwright::wire {

inline constexpr std::uint16_t kVersion = 1;
inline constexpr std::array<std::uint8_t, 4> kRequestMagic = {'F', 'W', 'R', 'Q'};
inline constexpr std::array<std::uint8_t, 4> kReplyMagic = {'F', 'W', 'R', 'P'};
inline constexpr std::size_t kRequestSize = 80;
inline constexpr std::size_t kReplySize = 128;
inline constexpr std::size_t kNameFieldSize = 32;
inline constexpr std::size_t kMessageFieldSize = 72;
inline constexpr std::string_view kProtocolName = "PiPSurfaceProtocol";
inline constexpr std::string_view kFetchSurfaceSelector = "fetchSurfaceWithReply:";
inline constexpr std::uint32_t kControlMagic = 0x46575343;
inline constexpr std::size_t kSurfaceDescriptorCount = 2;
inline constexpr std::size_t kControlHeaderSize = 24;

enum class Operation : std::uint16_t { fetchSurface = 1 };

enum class ReplyKind : std::uint16_t { surface = 1, nil = 2, error = 3 };

enum class ErrorCode : std::uint32_t {
  none = 0,
  badSize = 1,                 // the request is not 80 bytes
  badMagic = 2,                // it does not start with "FWRQ"
  unsupportedVersion = 3,      // the helper does not speak its version
  unknownOperation = 4,        // its operation is not 1
  nameMismatch = 5,            // protocol or selector do not name the operation
  descriptorsNotAccepted = 6,  // it carried descriptors (closed unread)
  surfaceUnavailable = 7,      // the helper could not hand out the surface now
  serviceUnavailable = 8,      // nobody on the helper's side answers requests
};

struct Request {
  Operation operation = Operation::fetchSurface;
  std::uint32_t requestId = 0;
};

struct SurfaceDescription {
  std::uint32_t surfaceId = 0;
  std::uint32_t width = 0;
  std::uint32_t height = 0;
  std::uint32_t bytesPerRow = 0;
  std::uint64_t allocationSize = 0;
  std::uint32_t pixelFormat = 0;
  std::uint32_t controlSize = 0;
};

struct Reply {
  ReplyKind kind = ReplyKind::nil;
  std::uint32_t requestId = 0;
  ErrorCode error = ErrorCode::none;
  SurfaceDescription surface;  // only for ReplyKind::surface
  std::string message;         // only for ReplyKind::error; cut to 72 bytes
};

namespace detail {

inline void put16(std::uint8_t* at, std::uint16_t value) {
  at[0] = static_cast<std::uint8_t>(value);
  at[1] = static_cast<std::uint8_t>(value >> 8);
}
inline void put32(std::uint8_t* at, std::uint32_t value) {
  for (int i = 0; i < 4; ++i) at[i] = static_cast<std::uint8_t>(value >> (8 * i));
}
inline void put64(std::uint8_t* at, std::uint64_t value) {
  for (int i = 0; i < 8; ++i) at[i] = static_cast<std::uint8_t>(value >> (8 * i));
}
inline std::uint16_t get16(const std::uint8_t* at) {
  return static_cast<std::uint16_t>(at[0] | (at[1] << 8));
}
inline std::uint32_t get32(const std::uint8_t* at) {
  std::uint32_t value = 0;
  for (int i = 0; i < 4; ++i) value |= std::uint32_t{at[i]} << (8 * i);
  return value;
}
inline std::uint64_t get64(const std::uint8_t* at) {
  std::uint64_t value = 0;
  for (int i = 0; i < 8; ++i) value |= std::uint64_t{at[i]} << (8 * i);
  return value;
}
inline void putText(std::uint8_t* at, std::size_t field, std::string_view text) {
  for (std::size_t i = 0; i < field && i < text.size(); ++i)
    at[i] = static_cast<std::uint8_t>(text[i]);
}
// The text up to the first NUL, or the whole field.
inline std::string getText(const std::uint8_t* at, std::size_t field) {
  std::size_t length = 0;
  while (length < field && at[length] != 0) ++length;
  return std::string(reinterpret_cast<const char*>(at), length);
}
inline bool hasMagic(std::span<const std::uint8_t> bytes,
                     const std::array<std::uint8_t, 4>& magic) {
  return bytes.size() >= 4 && bytes[0] == magic[0] && bytes[1] == magic[1] &&
         bytes[2] == magic[2] && bytes[3] == magic[3];
}

}  // namespace detail

inline std::array<std::uint8_t, kRequestSize> encodeRequest(const Request& request) {
  std::array<std::uint8_t, kRequestSize> bytes{};
  for (std::size_t i = 0; i < 4; ++i) bytes[i] = kRequestMagic[i];
  detail::put16(&bytes[4], kVersion);
  detail::put16(&bytes[6], static_cast<std::uint16_t>(request.operation));
  detail::put32(&bytes[8], request.requestId);
  detail::putText(&bytes[16], kNameFieldSize, kProtocolName);
  detail::putText(&bytes[48], kNameFieldSize, kFetchSurfaceSelector);
  return bytes;
}

// A request as the helper reads it: the request, or the error to answer
// with and a one-line reason.
struct RequestDecoding {
  std::optional<Request> request;
  ErrorCode error = ErrorCode::none;
  std::uint32_t requestId = 0;  // 0 unless magic and size allowed reading it
  std::string reason;
};

// `size` is the message's real length; `bytes` may hold only its start.
inline RequestDecoding decodeRequest(std::span<const std::uint8_t> bytes, std::size_t size) {
  RequestDecoding result;
  bool magic = detail::hasMagic(bytes, kRequestMagic);
  if (magic && bytes.size() >= 12) result.requestId = detail::get32(&bytes[8]);
  if (size != kRequestSize || bytes.size() != kRequestSize) {
    result.error = ErrorCode::badSize;
    result.reason = "request is " + std::to_string(size) + " bytes, expected " +
                    std::to_string(kRequestSize);
    return result;
  }
  if (!magic) {
    result.error = ErrorCode::badMagic;
    result.reason = "request does not start with FWRQ";
    return result;
  }
  std::uint16_t version = detail::get16(&bytes[4]);
  if (version != kVersion) {
    result.error = ErrorCode::unsupportedVersion;
    result.reason = "request has version " + std::to_string(version) + ", this helper speaks " +
                    std::to_string(kVersion);
    return result;
  }
  std::uint16_t operation = detail::get16(&bytes[6]);
  if (operation != static_cast<std::uint16_t>(Operation::fetchSurface)) {
    result.error = ErrorCode::unknownOperation;
    result.reason = "unknown operation " + std::to_string(operation);
    return result;
  }
  // Exact fields, NUL padding included: no trailing bytes smuggled in.
  std::array<std::uint8_t, kNameFieldSize> protocol{}, selector{};
  detail::putText(protocol.data(), kNameFieldSize, kProtocolName);
  detail::putText(selector.data(), kNameFieldSize, kFetchSurfaceSelector);
  for (std::size_t i = 0; i < kNameFieldSize; ++i) {
    if (bytes[16 + i] != protocol[i] || bytes[48 + i] != selector[i]) {
      result.error = ErrorCode::nameMismatch;
      result.reason = "operation 1 must name PiPSurfaceProtocol fetchSurfaceWithReply:";
      return result;
    }
  }
  result.request = Request{Operation::fetchSurface, result.requestId};
  return result;
}

inline std::array<std::uint8_t, kReplySize> encodeReply(const Reply& reply) {
  std::array<std::uint8_t, kReplySize> bytes{};
  for (std::size_t i = 0; i < 4; ++i) bytes[i] = kReplyMagic[i];
  detail::put16(&bytes[4], kVersion);
  detail::put16(&bytes[6], static_cast<std::uint16_t>(reply.kind));
  detail::put32(&bytes[8], reply.requestId);
  if (reply.kind == ReplyKind::error) {
    detail::put32(&bytes[12], static_cast<std::uint32_t>(reply.error));
    detail::putText(&bytes[56], kMessageFieldSize, reply.message);
  }
  if (reply.kind == ReplyKind::surface) {
    detail::put32(&bytes[16], reply.surface.surfaceId);
    detail::put32(&bytes[20], reply.surface.width);
    detail::put32(&bytes[24], reply.surface.height);
    detail::put32(&bytes[28], reply.surface.bytesPerRow);
    detail::put64(&bytes[32], reply.surface.allocationSize);
    detail::put32(&bytes[40], reply.surface.pixelFormat);
    detail::put32(&bytes[44], reply.surface.controlSize);
    detail::put32(&bytes[48], static_cast<std::uint32_t>(kSurfaceDescriptorCount));
  }
  return bytes;
}

struct ReplyDecoding {
  std::optional<Reply> reply;
  std::string reason;  // why there is none
};

// Checks the frame of a reply: size, magic, version, kind, and for a
// surface reply its geometry; never trusts a value it has not checked.
// `size` is the message's real length.
inline ReplyDecoding decodeReply(std::span<const std::uint8_t> bytes, std::size_t size) {
  ReplyDecoding result;
  if (size != kReplySize || bytes.size() != kReplySize) {
    result.reason = "reply is " + std::to_string(size) + " bytes, expected " +
                    std::to_string(kReplySize);
    return result;
  }
  if (!detail::hasMagic(bytes, kReplyMagic)) {
    result.reason = "reply does not start with FWRP";
    return result;
  }
  std::uint16_t version = detail::get16(&bytes[4]);
  if (version != kVersion) {
    result.reason = "reply has version " + std::to_string(version) + ", expected " +
                    std::to_string(kVersion);
    return result;
  }
  Reply reply;
  std::uint16_t kind = detail::get16(&bytes[6]);
  if (kind < 1 || kind > 3) {
    result.reason = "reply has unknown kind " + std::to_string(kind);
    return result;
  }
  reply.kind = static_cast<ReplyKind>(kind);
  reply.requestId = detail::get32(&bytes[8]);
  std::uint32_t descriptorCount = detail::get32(&bytes[48]);
  if (reply.kind == ReplyKind::error) {
    reply.error = static_cast<ErrorCode>(detail::get32(&bytes[12]));
    reply.message = detail::getText(&bytes[56], kMessageFieldSize);
  }
  if (reply.kind != ReplyKind::surface) {
    if (descriptorCount != 0) {
      result.reason = "a reply without a surface announces descriptors";
      return result;
    }
    result.reply = std::move(reply);
    return result;
  }
  SurfaceDescription& surface = reply.surface;
  surface.surfaceId = detail::get32(&bytes[16]);
  surface.width = detail::get32(&bytes[20]);
  surface.height = detail::get32(&bytes[24]);
  surface.bytesPerRow = detail::get32(&bytes[28]);
  surface.allocationSize = detail::get64(&bytes[32]);
  surface.pixelFormat = detail::get32(&bytes[40]);
  surface.controlSize = detail::get32(&bytes[44]);
  // Bounds a client can allocate and map without a second thought.
  constexpr std::uint32_t kMaxSide = 16384;
  constexpr std::uint32_t kMaxBytesPerRow = kMaxSide * 4;
  constexpr std::uint64_t kMaxAllocationSize = std::uint64_t{1} << 30;
  constexpr std::uint64_t kMaxControlSize = 1 << 20;
  if (descriptorCount != kSurfaceDescriptorCount) {
    result.reason = "a surface reply must announce 2 descriptors, not " +
                    std::to_string(descriptorCount);
  } else if (surface.width == 0 || surface.height == 0 || surface.width > kMaxSide ||
             surface.height > kMaxSide) {
    result.reason = "surface size " + std::to_string(surface.width) + "x" +
                    std::to_string(surface.height) + " is out of range";
  } else if (surface.pixelFormat != kPixelFormatBGRA) {
    result.reason = "surface pixel format is not BGRA";
  } else if (surface.bytesPerRow < std::uint64_t{surface.width} * 4 ||
             surface.bytesPerRow > kMaxBytesPerRow || surface.bytesPerRow % 4 != 0) {
    result.reason = "surface row length " + std::to_string(surface.bytesPerRow) +
                    " does not fit its width";
  } else if (surface.allocationSize < std::uint64_t{surface.bytesPerRow} * surface.height ||
             surface.allocationSize > kMaxAllocationSize) {
    result.reason = "surface allocation size " + std::to_string(surface.allocationSize) +
                    " does not fit its rows";
  } else if (surface.controlSize < kControlHeaderSize || surface.controlSize > kMaxControlSize) {
    result.reason = "surface control size " + std::to_string(surface.controlSize) +
                    " is out of range";
  } else {
    result.reply = std::move(reply);
  }
  return result;
}

}  // namespace fenwright::wire
