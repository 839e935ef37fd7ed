#include "tools/client/png_writer.h"

#include <cstdlib>
#include <fstream>
#include <memory>
#include <system_error>
#include <type_traits>
#include <vector>

#include <fmt/format.h>
#include <spng.h>

#include "platform/c_deleter.h"

namespace fenwright::client {
namespace {

using SpngContext = std::unique_ptr<spng_ctx, CDeleter<&spng_ctx_free>>;
using MallocBuffer = MallocPtr<void>;

}  // namespace

Expected<std::size_t> writePngFromBGRA(const std::filesystem::path& path, std::uint32_t width,
                                     std::uint32_t height, std::uint32_t bytesPerRow,
                                     std::span<const std::uint8_t> pixels) {
  if (width == 0 || height == 0 || bytesPerRow < std::uint64_t{width} * 4 ||
      pixels.size() < std::uint64_t{bytesPerRow} * (height - 1) + std::uint64_t{width} * 4) {
    return unexpected("the image does not fit its pixels");
  }

  std::vector<std::uint8_t> rgba(std::size_t{width} * height * 4);
  for (std::uint32_t y = 0; y < height; ++y) {
    const std::uint8_t* from = pixels.data() + std::size_t{y} * bytesPerRow;
    std::uint8_t* to = rgba.data() + std::size_t{y} * width * 4;
    for (std::uint32_t x = 0; x < width; ++x, from += 4, to += 4) {
      to[0] = from[2];
      to[1] = from[1];
      to[2] = from[0];
      to[3] = from[3];
    }
  }

  SpngContext context(spng_ctx_new(SPNG_CTX_ENCODER));
  if (!context) return unexpected("spng_ctx_new failed");
  spng_set_option(context.get(), SPNG_ENCODE_TO_BUFFER, 1);
  spng_ihdr header{};
  header.width = width;
  header.height = height;
  header.bit_depth = 8;
  header.color_type = SPNG_COLOR_TYPE_TRUECOLOR_ALPHA;
  if (int error = spng_set_ihdr(context.get(), &header))
    return unexpected(fmt::format("spng_set_ihdr: {}", spng_strerror(error)));
  if (int error = spng_encode_image(context.get(), rgba.data(), rgba.size(), SPNG_FMT_PNG,
                                    SPNG_ENCODE_FINALIZE)) {
    return unexpected(fmt::format("spng_encode_image: {}", spng_strerror(error)));
  }
  std::size_t length = 0;
  int error = 0;
  MallocBuffer png(spng_get_png_buffer(context.get(), &length, &error));
  if (!png) return unexpected(fmt::format("spng_get_png_buffer: {}", spng_strerror(error)));

  std::filesystem::path aside = path;
  aside += ".partial";
  {
    std::ofstream out(aside, std::ios::binary | std::ios::trunc);
    out.write(static_cast<const char*>(png.get()), static_cast<std::streamsize>(length));
    out.close();
    if (!out) {
      std::error_code ignored;
      std::filesystem::remove(aside, ignored);
      return unexpected(fmt::format("cannot write {}", aside.string()));
    }
  }
  std::error_code renamed;
  std::filesystem::rename(aside, path, renamed);
  if (renamed) {
    std::error_code ignored;
    std::filesystem::remove(aside, ignored);
    return unexpected(fmt::format("cannot rename {} to {}: {}", aside.string(), path.string(),
                                  renamed.message()));
  }
  return length;
}

}  // namespace fenwright::client
