// A malicious helper must not crash, hang or leak a client. Each input is a
// reply packet plus a recipe for the descriptors that ride along with it:
//
//   byte 0        flags: bit 0 stamp requestId 1 (the client's first id) into
//                 the packet, bit 1 close the helper's end after sending
//   byte 1        descriptor count, modulo 11 (the client makes room for 8)
//   4 bytes each  descriptor recipe: kind, size/seal bits, 16-bit extra
//   the rest      the packet, sent as is
//
// The packet is decoded once on its own (the descriptors are made to fit
// what it announces), then queued on a real SOCK_SEQPACKET connection
// before the client's fetchSurface() reads it.
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "platform/ipc/seq_packet_socket.h"
#include "platform/ipc/unix_listen_socket.h"
#include "platform/unique_fd.h"
#include "protocol/wire_protocol.h"
#include "tools/client/fenwright_client.h"

namespace {

namespace wire = fenwright::wire;
using fenwright::UniqueFd;

void check(bool condition) {
  if (!condition) std::abort();
}

// Sparse memfds stay cheap even at the decoder's 1 GiB ceiling.
constexpr std::uint64_t kMaxMemfdSize = (std::uint64_t{1} << 30) + 4096;
// Larger surfaces are mapped and probed, not copied: a copy is all RSS.
constexpr std::uint64_t kMaxCopySize = 8 << 20;

std::size_t openDescriptors() {
  std::size_t count = 0;
  if (DIR* dir = ::opendir("/proc/self/fd")) {
    while (dirent* entry = ::readdir(dir)) count += entry->d_name[0] != '.';
    ::closedir(dir);
  }
  return count;
}

// One listening socket for the whole run, in a private directory.
struct Listener {
  char dir[27] = "/tmp/fenwright-fuzz-XXXXXX";
  std::filesystem::path path = std::filesystem::path(::mkdtemp(dir)) / "s";
  fenwright::UnixListenSocket socket = std::move(*fenwright::UnixListenSocket::bindAt(path));
  ~Listener() {
    std::error_code ignored;
    std::filesystem::remove_all(path.parent_path(), ignored);
  }
};

struct Descriptor {
  UniqueFd fd;
  bool memfd = false;  // a regular file a client may map
  bool sealedAgainstShrinking = false;
  std::uint64_t size = 0;
};

// What the reply announces for descriptor `index`, or a small size.
std::uint64_t announcedSize(const wire::Reply* reply, std::size_t index) {
  if (!reply) return 4096;
  return index == 0 ? reply->surface.allocationSize : reply->surface.controlSize;
}

// A header for the control memory: matching the reply, or subtly not.
void writeControlHeader(int fd, const wire::Reply* reply, int mode, std::uint16_t extra) {
  std::uint32_t header[6] = {extra, mode == 2 ? 0 : wire::kControlMagic};  // seed, odd or even
  if (reply) {
    const wire::SurfaceDescription& s = reply->surface;
    header[2] = s.width + (mode == 3 ? 1 : 0);
    header[3] = s.height;
    header[4] = s.bytesPerRow;
    header[5] = s.pixelFormat;
  }
  [[maybe_unused]] ssize_t written = ::pwrite(fd, header, sizeof header, 0);
}

// recipe: [kind][bits][extra lo][extra hi]
//   kind % 6: 0 memfd, 1 memfd reopened read-only, 2 pipe, 3 /dev/null,
//             4 O_PATH of a memfd, 5 a directory
//   bits: 0-1 size (announced, announced-1, announced+extra, extra),
//         2 seal shrink, 3 seal grow, 4 seal write, 5-6 control header mode
Descriptor makeDescriptor(const std::uint8_t* recipe, std::size_t index,
                          const wire::Reply* reply) {
  Descriptor d;
  int kind = recipe[0] % 6;
  int bits = recipe[1];
  std::uint16_t extra = static_cast<std::uint16_t>(recipe[2] | (recipe[3] << 8));
  if (kind == 2) {
    int ends[2];
    check(::pipe2(ends, O_CLOEXEC) == 0);
    ::close(ends[1]);
    d.fd = UniqueFd(ends[0]);
    return d;
  }
  if (kind == 3) {
    d.fd = UniqueFd(::open("/dev/null", O_RDONLY | O_CLOEXEC));
    return d;
  }
  if (kind == 5) {
    d.fd = UniqueFd(::open("/tmp", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    return d;
  }

  UniqueFd memfd(::memfd_create("fuzz", MFD_CLOEXEC | MFD_ALLOW_SEALING));
  check(memfd.valid());
  std::uint64_t announced = announcedSize(reply, index);
  std::uint64_t size = 0;
  switch (bits & 3) {
    case 0: size = announced; break;
    case 1: size = announced > 0 ? announced - 1 : 0; break;
    case 2: size = announced + extra; break;
    case 3: size = extra; break;
  }
  if (size > kMaxMemfdSize) size = extra;
  check(::ftruncate(memfd.get(), static_cast<off_t>(size)) == 0);
  if (index == 1 && size >= 24) writeControlHeader(memfd.get(), reply, (bits >> 5) & 3, extra);
  int seals = 0;
  if (bits & 4) seals |= F_SEAL_SHRINK;
  if (bits & 8) seals |= F_SEAL_GROW;
  if (bits & 16) seals |= F_SEAL_WRITE;
  if (seals) check(::fcntl(memfd.get(), F_ADD_SEALS, seals) == 0);

  d.memfd = kind != 4;
  d.sealedAgainstShrinking = (seals & F_SEAL_SHRINK) != 0;
  d.size = size;
  if (kind == 0) {
    d.fd = std::move(memfd);
  } else {
    std::string self = "/proc/self/fd/" + std::to_string(memfd.get());
    d.fd = UniqueFd(::open(self.c_str(), (kind == 1 ? O_RDONLY : O_PATH) | O_CLOEXEC));
  }
  check(d.fd.valid());
  return d;
}

// The packet decoded on its own: what a client sizes its mapping and copies
// by must be consistent, and a prefix of a longer message is never a reply.
std::optional<wire::Reply> decodeAndCheck(std::span<const std::uint8_t> packet) {
  wire::ReplyDecoding decoded = wire::decodeReply(packet, packet.size());
  check(decoded.reply.has_value() == decoded.reason.empty());
  if (!packet.empty())
    check(!wire::decodeReply(packet.first(packet.size() - 1), packet.size()).reply);
  if (!decoded.reply) return std::nullopt;
  check(decoded.reply->message.size() <= wire::kMessageFieldSize);
  if (decoded.reply->kind != wire::ReplyKind::surface) return decoded.reply;
  const wire::SurfaceDescription& s = decoded.reply->surface;
  check(s.width > 0 && s.height > 0 && s.bytesPerRow >= std::uint64_t{s.width} * 4);
  check(s.allocationSize >= std::uint64_t{s.bytesPerRow} * s.height);
  check(s.allocationSize <= (std::uint64_t{1} << 30));
  check(s.controlSize >= wire::kControlHeaderSize);
  return decoded.reply;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static Listener listener;
  if (size < 2) return 0;
  int flags = data[0];
  std::size_t count = data[1] % 11;
  std::size_t offset = 2 + 4 * count;
  if (size < offset) return 0;
  std::vector<std::uint8_t> packet(data + offset, data + size);
  if ((flags & 1) && packet.size() >= 12) wire::detail::put32(&packet[8], 1);

  std::optional<wire::Reply> decoded = decodeAndCheck(packet);
  const wire::Reply* reply =
      decoded && decoded->kind == wire::ReplyKind::surface ? &*decoded : nullptr;

  std::size_t descriptorsBefore = openDescriptors();
  {
    auto client = fenwright::client::FenwrightClient::connect(listener.path);
    check(client.ok());
    UniqueFd helper = listener.socket.accept().fd;
    check(helper.valid());

    std::vector<Descriptor> descriptors;
    for (std::size_t i = 0; i < count; ++i)
      descriptors.push_back(makeDescriptor(data + 2 + 4 * i, i, reply));
    std::vector<const UniqueFd*> fds;
    for (const Descriptor& d : descriptors) fds.push_back(&d.fd);

    // Queued before the client asks: fetchSurface() then finds it at once.
    fenwright::SendOutcome sent = fenwright::sendPacket(helper, packet, fds);
    check(sent.status == fenwright::SendOutcome::Status::sent);
    if (flags & 2) helper.reset();

    auto fetched = client->fetchSurface(std::chrono::milliseconds(0));
    if (fetched.ok() && fetched->has_value()) {
      const fenwright::client::MappedSurface& surface = **fetched;
      // Accepted memory must be memfds that cannot shrink under the mapping.
      check(descriptors.size() == 2);
      for (std::size_t i = 0; i < 2; ++i) {
        check(descriptors[i].memfd && descriptors[i].sealedAgainstShrinking);
      }
      check(descriptors[0].size >= surface.allocationSize());
      // Touch both ends of the pixels: a mapping past the file's end faults.
      auto pixels = surface.pixels();
      volatile std::uint8_t sink = pixels.front();
      sink = pixels.back();
      (void)sink;
      (void)surface.seed();
      if (surface.allocationSize() <= kMaxCopySize) {
        std::vector<std::uint8_t> frame(surface.allocationSize());
        (void)surface.copyFrame(frame, std::chrono::milliseconds(0));
      }
    }
  }
  // Every descriptor the reply carried is closed, accepted or not.
  check(openDescriptors() == descriptorsBefore);
  return 0;
}
