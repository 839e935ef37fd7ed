#include "tools/client/fenwright_client.h"

#include <algorithm>
#include <system_error>
#include <utility>

#include <fmt/format.h>

#include "config/shared_identifiers.h"
#include "platform/error_text.h"
#include "platform/ipc/runtime_directory.h"
#include "platform/ipc/seq_packet_socket.h"
#include "protocol/wire_protocol.h"

namespace fenwright::client {
namespace {

// Room to see, and close, more descriptors than a reply may carry.
constexpr std::size_t kMaxReplyFds = 8;

}  // namespace

Expected<std::filesystem::path> FenwrightClient::defaultSocketPath() {
  return serviceSocketPath(quenfieldPiPModeXPCServiceName);
}

Expected<FenwrightClient> FenwrightClient::connect() {
  auto path = defaultSocketPath();
  if (!path) return unexpected(path.error());
  return connect(*path);
}

Expected<FenwrightClient> FenwrightClient::connect(const std::filesystem::path& socketPath) {
  auto socket = connectSeqPacket(socketPath);
  if (!socket) return unexpected(socket.error());
  return Expected<FenwrightClient>(FenwrightClient(std::move(*socket)));
}

Expected<std::optional<MappedSurface>> FenwrightClient::fetchSurface(
    std::chrono::milliseconds timeout) {
  if (!socket_) return unexpected("not connected");
  std::uint32_t requestId = nextRequestId_++;
  auto request = wire::encodeRequest({wire::Operation::fetchSurface, requestId});
  SendOutcome sent = sendPacket(socket_, request);
  switch (sent.status) {
    case SendOutcome::Status::sent:
      break;
    case SendOutcome::Status::wouldBlock:
      return unexpected("the helper is not reading requests");
    case SendOutcome::Status::peerGone:
      return unexpected("the helper closed the connection");
    case SendOutcome::Status::noRoom:
    case SendOutcome::Status::failed:
      return unexpected(
          fmt::format("sending the request failed: {}", errorText(sent.error)));
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
        return unexpected(fmt::format("no reply within {} ms", timeout.count()));
      case Readiness::failed:
        return unexpected("waiting for the reply failed");
    }
    ReceivedPacket packet = receivePacket(socket_, wire::kReplySize, kMaxReplyFds);
    switch (packet.status) {
      case ReceivedPacket::Status::message:
        break;
      case ReceivedPacket::Status::wouldBlock:
        continue;
      case ReceivedPacket::Status::closed:
        return unexpected("the helper closed the connection");
      case ReceivedPacket::Status::failed:
        return unexpected(fmt::format("receiving the reply failed: {}",
                                      errorText(packet.error)));
    }

    // Whatever goes wrong below, the descriptors in `packet` are closed.
    wire::ReplyDecoding decoded = wire::decodeReply(packet.bytes, packet.size);
    if (!decoded.reply) return unexpected("malformed reply: " + decoded.reason);
    const wire::Reply& reply = *decoded.reply;
    // The late answer to an earlier request that timed out.
    if (reply.requestId != requestId) continue;

    std::size_t expected = reply.kind == wire::ReplyKind::surface ? wire::kSurfaceDescriptorCount : 0;
    if (packet.controlTruncated || packet.fds.size() != expected) {
      return unexpected(fmt::format("malformed reply: it carried {}{} descriptor(s), expected {}",
                                    packet.controlTruncated ? "more than " : "",
                                    packet.fds.size(), expected));
    }
    switch (reply.kind) {
      case wire::ReplyKind::nil:
        return std::optional<MappedSurface>();
      case wire::ReplyKind::error:
        return unexpected(fmt::format("the helper answered with error {}: {}",
                                      static_cast<std::uint32_t>(reply.error), reply.message));
      case wire::ReplyKind::surface: {
        auto mapped =
            MappedSurface::map(reply.surface, std::move(packet.fds[0]), std::move(packet.fds[1]));
        if (!mapped) return unexpected("unusable surface: " + mapped.error());
        return std::optional<MappedSurface>(std::move(*mapped));
      }
    }
    return unexpected("malformed reply: unknown kind");
  }
}

}  // namespace fenwright::client
