// Bytes of a sentinel file in, a complete record out: never a throw, a hang
// or a crash, and a disabled record for anything that is not an object.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "config/pip_sentinel_reader.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string_view bytes(reinterpret_cast<const char*>(data), size);
  fenwright::PiPSentinelConfig config = fenwright::parsePiPSentinel(bytes);
  // A record that claims to be enabled must have come from a JSON object.
  if (config.enabled && (size == 0 || bytes.find('{') == std::string_view::npos)) std::abort();
  return 0;
}
