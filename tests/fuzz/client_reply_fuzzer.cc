// A malicious helper must not crash, hang or leak a client. Input:
//   byte 0        bit 0 stamp the client's first request id, bit 1 hang up
//   byte 1        descriptor count, modulo 11 (the client makes room for 8)
//   2 bytes each  descriptor recipe: kind and seals, size choice
//   the rest      the reply packet, sent as is
// Descriptors are sized from what the packet announces, so most fuzzing
// time goes past the header checks into mapping and copying.
#include <dirent.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <vector>

#include "platform/ipc/seq_packet_socket.h"
#include "platform/ipc/unix_listen_socket.h"
#include "protocol/wire_protocol.h"
#include "tools/client/fenwright_client.h"

namespace {

namespace wire = fenwright::wire;
using fenwright::UniqueFd;

void check(bool condition) {
  if (!condition) std::abort();
}

std::size_t openDescriptors() {
  std::size_t count = 0;
  if (DIR* dir = ::opendir("/proc/self/fd")) {
    while (dirent* entry = ::readdir(dir)) count += entry->d_name[0] != '.';
    ::closedir(dir);
  }
  return count;
}

// kind % 3: memfd (twice as likely) or /dev/null; bits 2-3 seal shrink, grow.
// Size: as announced, one short, or the recipe's own. The control memory
// gets a header, its magic right unless bit 4 says otherwise.
UniqueFd makeDescriptor(const std::uint8_t* recipe, std::size_t index, const wire::Reply* reply) {
  if (recipe[0] % 3 == 2) return UniqueFd(::open("/dev/null", O_RDONLY | O_CLOEXEC));
  UniqueFd fd(::memfd_create("fuzz", MFD_CLOEXEC | MFD_ALLOW_SEALING));
  check(fd.valid());
  const wire::SurfaceDescription s = reply ? reply->surface : wire::SurfaceDescription{};
  std::uint64_t size = index == 0 ? s.allocationSize : index == 1 ? s.controlSize : 64;
  if (recipe[1] % 3 == 1 && size > 0) --size;
  if (recipe[1] % 3 == 2 || size > (std::uint64_t{1} << 30)) size = recipe[1] * 64u;
  check(::ftruncate(fd.get(), static_cast<off_t>(size)) == 0);
  if (index == 1 && size >= wire::kControlHeaderSize) {
    const std::uint32_t header[6] = {recipe[1], recipe[0] & 16 ? 0 : wire::kControlMagic,
                                     s.width,   s.height, s.bytesPerRow, s.pixelFormat};
    check(::pwrite(fd.get(), header, sizeof header, 0) == sizeof header);
  }
  int seals = (recipe[0] & 4 ? F_SEAL_SHRINK : 0) | (recipe[0] & 8 ? F_SEAL_GROW : 0);
  if (seals) check(::fcntl(fd.get(), F_ADD_SEALS, seals) == 0);
  return fd;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static char dir[] = "/tmp/fenwright-fuzz-XXXXXX";
  static const std::filesystem::path path = std::filesystem::path(::mkdtemp(dir)) / "s";
  static fenwright::UnixListenSocket listener =
      std::move(*fenwright::UnixListenSocket::bindAt(path));
  if (size < 2) return 0;
  const std::size_t count = data[1] % 11, offset = 2 + 2 * count;
  if (size < offset) return 0;
  std::vector<std::uint8_t> packet(data + offset, data + size);
  if ((data[0] & 1) && packet.size() >= 12) wire::detail::put32(&packet[8], 1);
  auto decoded = wire::decodeReply(packet, packet.size()).reply;
  const wire::Reply* reply =
      decoded && decoded->kind == wire::ReplyKind::surface ? &*decoded : nullptr;

  const std::size_t before = openDescriptors();
  {
    auto client = fenwright::client::FenwrightClient::connect(path);
    check(client.ok());
    UniqueFd helper = listener.accept().fd;
    std::vector<UniqueFd> fds;
    std::vector<const UniqueFd*> sent;
    for (std::size_t i = 0; i < count; ++i)
      fds.push_back(makeDescriptor(data + 2 + 2 * i, i, reply));
    for (const UniqueFd& fd : fds) sent.push_back(&fd);
    check(fenwright::sendPacket(helper, packet, sent).status ==
          fenwright::SendOutcome::Status::sent);
    if (data[0] & 2) helper.reset();
    fds.clear();

    auto fetched = client->fetchSurface(std::chrono::milliseconds(0));
    if (fetched.ok() && fetched->has_value()) {
      // Both ends of the pixels: a mapping past the file's end faults.
      auto pixels = (*fetched)->pixels();
      volatile std::uint8_t sink = pixels.front();
      sink = pixels.back();
      (void)sink;
      if (pixels.size() <= (8u << 20)) {
        std::vector<std::uint8_t> frame(pixels.size());
        (void)(*fetched)->copyFrame(frame, std::chrono::milliseconds(0));
      }
    }
  }
  // Every descriptor the reply carried is closed, accepted or not.
  check(openDescriptors() == before);
  return 0;
}
