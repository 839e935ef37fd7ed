#include "tools/client/fenwright_client.h"

#include <algorithm>
#include <system_error>
#include <utility>

#include <fmt/format.h>

#include "config/shared_identifiers.h"
#include "platform/ipc/runtime_directory.h"
#include "platform/ipc/seq_packet_socket.h"
#include "protocol/wire_protocol.h"

namespace fenwright::client {
namespace {

// Room to see, and close, more descriptors than a reply may carry.
constexpr std::size_t kMaxReplyFds = 8;

}  // namespace

Result<std::filesystem::path> FenwrightClient::defaultSocketPath() {
  return serviceSocketPath(quenfieldPiPModeXPCServiceName);
}

Result<FenwrightClient> FenwrightClient::connect() {
  auto path = defaultSocketPath();
  if (!path) return Result<FenwrightClient>::failure(path.error());
  return connect(*path);
}

Result<FenwrightClient> FenwrightClient::connect(const std::filesystem::path& socketPath) {
  auto socket = connectSeqPacket(socketPath);
  if (!socket) return Result<FenwrightClient>::failure(socket.error());
  return Result<FenwrightClient>::success(FenwrightClient(socket.take()));
}

Result<std::optional<MappedSurface>> FenwrightClient::fetchSurface(
    std::chrono::milliseconds timeout) {
  using R = Result<std::optional<MappedSurface>>;
  if (!socket_) return R::failure("not connected");
  std::uint32_t requestId = nextRequestId_++;
  auto request = wire::encodeRequest({wire::Operation::fetchSurface, requestId});
  SendOutcome sent = sendPacket(socket_, request);
  switch (sent.status) {
    case SendOutcome::Status::sent:
      break;
    case SendOutcome::Status::wouldBlock:
      return R::failure("the helper is not reading requests");
    case SendOutcome::Status::peerGone:
      return R::failure("the helper closed the connection");
    case SendOutcome::Status::noRoom:
    case SendOutcome::Status::failed:
      return R::failure(
          fmt::format("sending the request failed: {}", std::system_category().message(sent.error)));
  }

  auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    auto left = std::max(std::chrono::milliseconds(0),
                         std::chrono::duration_cast<std::chrono::milliseconds>(
                             deadline - std::chrono::steady_clock::now()));
    switch (waitReadable(socket_, left)) {
      case Readiness::ready:
        break;
      case Readiness::timedOut:
        return R::failure(fmt::format("no reply within {} ms", timeout.count()));
      case Readiness::failed:
        return R::failure("waiting for the reply failed");
    }
    ReceivedPacket packet = receivePacket(socket_, wire::kReplySize, kMaxReplyFds);
    switch (packet.status) {
      case ReceivedPacket::Status::message:
        break;
      case ReceivedPacket::Status::wouldBlock:
        continue;
      case ReceivedPacket::Status::closed:
        return R::failure("the helper closed the connection");
      case ReceivedPacket::Status::failed:
        return R::failure(fmt::format("receiving the reply failed: {}",
                                      std::system_category().message(packet.error)));
    }

    // Whatever goes wrong below, the descriptors in `packet` are closed.
    wire::ReplyDecoding decoded = wire::decodeReply(packet.bytes, packet.size);
    if (!decoded.reply) return R::failure("malformed reply: " + decoded.reason);
    const wire::Reply& reply = *decoded.reply;
    // The late answer to an earlier request that timed out.
    if (reply.requestId != requestId) continue;

    std::size_t expected = reply.kind == wire::ReplyKind::surface ? wire::kSurfaceDescriptorCount : 0;
    if (packet.controlTruncated || packet.fds.size() != expected) {
      return R::failure(fmt::format("malformed reply: it carried {}{} descriptor(s), expected {}",
                                    packet.controlTruncated ? "more than " : "",
                                    packet.fds.size(), expected));
    }
    switch (reply.kind) {
      case wire::ReplyKind::nil:
        return R::success(std::nullopt);
      case wire::ReplyKind::error:
        return R::failure(fmt::format("the helper answered with error {}: {}",
                                      static_cast<std::uint32_t>(reply.error), reply.message));
      case wire::ReplyKind::surface: {
        auto mapped =
            MappedSurface::map(reply.surface, std::move(packet.fds[0]), std::move(packet.fds[1]));
        if (!mapped) return R::failure("unusable surface: " + mapped.error());
        return R::success(mapped.take());
      }
    }
    return R::failure("malformed reply: unknown kind");
  }
}

}  // namespace fenwright::client
