// fenwright-view and the PNG helper it writes with.

#include <sys/wait.h>

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <spng.h>

#include "tests/ipc/ipc_test_support.h"
#include "tools/client/png_writer.h"

namespace fenwright::testing {
namespace {

constexpr const char* kView = FENWRIGHT_VIEW;

struct Image {
  std::uint32_t width = 0;
  std::uint32_t height = 0;
  std::vector<std::uint8_t> rgba;
};

std::optional<Image> readPng(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  std::unique_ptr<spng_ctx, decltype(&spng_ctx_free)> context(spng_ctx_new(0), &spng_ctx_free);
  if (bytes.empty() || spng_set_png_buffer(context.get(), bytes.data(), bytes.size()) != 0)
    return std::nullopt;
  spng_ihdr header{};
  std::size_t size = 0;
  if (spng_get_ihdr(context.get(), &header) != 0 ||
      spng_decoded_image_size(context.get(), SPNG_FMT_RGBA8, &size) != 0) {
    return std::nullopt;
  }
  if (header.color_type != SPNG_COLOR_TYPE_TRUECOLOR_ALPHA || header.bit_depth != 8)
    return std::nullopt;
  Image image{header.width, header.height, std::vector<std::uint8_t>(size)};
  if (spng_decode_image(context.get(), image.rgba.data(), size, SPNG_FMT_RGBA8, 0) != 0)
    return std::nullopt;
  return image;
}

// The pattern surface as RGBA, the way a PNG of it must decode.
std::vector<std::uint8_t> patternAsRgba(const SharedSurface& surface) {
  std::vector<std::uint8_t> rgba(surface.allocationSize());
  const std::uint8_t* bgra = surface.baseAddress();
  for (std::size_t i = 0; i < rgba.size(); i += 4) {
    rgba[i] = bgra[i + 2];
    rgba[i + 1] = bgra[i + 1];
    rgba[i + 2] = bgra[i];
    rgba[i + 3] = bgra[i + 3];
  }
  return rgba;
}

int run(const std::string& arguments) {
  int status = std::system((std::string(kView) + " " + arguments + " >/dev/null 2>&1").c_str());
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

class ViewTest : public ListenerTest {
 protected:
  std::string socket() const { return "--socket " + runtime_.socketPath().string(); }
  TempDir out_;
};

// Exactly the surface, in RGBA, and it goes away afterwards as the
// extension does. (A series of them: the headless demo, tests/scripts.)
TEST_F(ViewTest, SnapshotIsTheSurfaceAsAPng) {
  auto png = out_.path() / "out.png";
  ASSERT_EQ(run(socket() + " --snapshot " + png.string()), 0);
  auto image = readPng(png);
  ASSERT_TRUE(image);
  EXPECT_EQ(image->width, 640u);
  EXPECT_EQ(image->height, 360u);
  EXPECT_TRUE(image->rgba == patternAsRgba(surface_));
  EXPECT_TRUE(service_->waitForInvalidations(1));
  EXPECT_EQ(service_->fetches, 1);
}

// No helper, no surface, bad arguments, pixels that do not fit or nowhere
// to write: an error, and no file left behind.
TEST_F(ViewTest, FailsWithoutAHelperOrASurfaceAndLeavesNothingBehind) {
  const std::string snapshot = " --snapshot " + (out_.path() / "x.png").string();
  EXPECT_EQ(run("--socket " + (out_.path() / "none").string() + snapshot), 1);
  service_->nil = true;
  EXPECT_EQ(run(socket() + snapshot), 1);
  EXPECT_NE(run(snapshot + " --interval 5"), 0);
  std::vector<std::uint8_t> tooFew(10), enough(32);
  EXPECT_FALSE(client::writePngFromBGRA(out_.path() / "x.png", 3, 2, 16, tooFew));
  EXPECT_FALSE(client::writePngFromBGRA(out_.path() / "missing" / "x.png", 3, 2, 16, enough));
  EXPECT_TRUE(std::filesystem::is_empty(out_.path()));
}

}  // namespace
}  // namespace fenwright::testing
