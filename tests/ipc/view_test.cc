// fenwright-view and the PNG helper it writes with.

#include <sys/wait.h>

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <type_traits>
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

TEST(PngWriterTest, WritesBgraRowsAsRgba) {
  TempDir dir;
  // 3x2 with 4 bytes of row padding that must not show.
  std::vector<std::uint8_t> bgra = {
      1, 2, 3, 4,    5, 6, 7, 8,    9, 10, 11, 12,  0xEE, 0xEE, 0xEE, 0xEE,
      13, 14, 15, 16, 17, 18, 19, 20, 21, 22, 23, 24, 0xEE, 0xEE, 0xEE, 0xEE};
  auto written = client::writePngFromBGRA(dir.path() / "small.png", 3, 2, 16, bgra);
  ASSERT_TRUE(written) << written.error();
  auto image = readPng(dir.path() / "small.png");
  ASSERT_TRUE(image);
  EXPECT_EQ(image->width, 3u);
  EXPECT_EQ(image->height, 2u);
  std::vector<std::uint8_t> expected = {3,  2,  1,  4,  7,  6,  5,  8,  11, 10, 9,  12,
                                        15, 14, 13, 16, 19, 18, 17, 20, 23, 22, 21, 24};
  EXPECT_EQ(image->rgba, expected);
  EXPECT_EQ(*written, std::filesystem::file_size(dir.path() / "small.png"));
}

TEST(PngWriterTest, RefusesPixelsThatDoNotFitAndLeavesNothingBehind) {
  TempDir dir;
  std::vector<std::uint8_t> tooFew(10);
  EXPECT_FALSE(client::writePngFromBGRA(dir.path() / "a.png", 3, 2, 16, tooFew));
  std::vector<std::uint8_t> enough(32);
  auto nowhere = client::writePngFromBGRA(dir.path() / "missing" / "a.png", 3, 2, 16, enough);
  ASSERT_FALSE(nowhere);
  EXPECT_TRUE(std::filesystem::is_empty(dir.path()));
}

class ViewTest : public ListenerTest {};

// One frame, then a series of them over one connection; each time it goes
// away afterwards, as the extension does.
TEST_F(ViewTest, SnapshotsAreTheSurfaceAsPngs) {
  TempDir out;
  const std::string socket = "--socket " + runtime_.socketPath().string();
  auto png = out.path() / "out.png";
  ASSERT_EQ(run(socket + " --snapshot " + png.string()), 0);
  auto image = readPng(png);
  ASSERT_TRUE(image);
  EXPECT_EQ(image->width, 640u);
  EXPECT_EQ(image->height, 360u);
  EXPECT_TRUE(image->rgba == patternAsRgba(*surface_));
  ASSERT_TRUE(service_->waitForInvalidations(1));

  auto series = out.path() / "series.png";
  ASSERT_EQ(run(socket + " --snapshot " + series.string() + " --count 3 --interval 30"), 0);
  for (int i = 1; i <= 3; ++i) {
    auto image = readPng(out.path() / ("series-" + std::to_string(i) + ".png"));
    ASSERT_TRUE(image) << i;
    EXPECT_TRUE(image->rgba == patternAsRgba(*surface_)) << i;
  }
  EXPECT_FALSE(std::filesystem::exists(series));
  ASSERT_TRUE(service_->waitForInvalidations(2));
  EXPECT_EQ(service_->accepted(), 2u);
  EXPECT_EQ(service_->fetches(), 2);
}

TEST_F(ViewTest, FailsWithoutAHelperOrWithoutASurface) {
  TempDir out;
  EXPECT_EQ(run("--socket " + (out.path() / "none").string() + " --snapshot " +
                (out.path() / "x.png").string()),
            1);
  service_ = std::make_shared<FakeService>(nullptr);
  listener_.reset();
  startListener();
  EXPECT_EQ(run("--socket " + runtime_.socketPath().string() + " --snapshot " +
                (out.path() / "x.png").string()),
            1);
  EXPECT_FALSE(std::filesystem::exists(out.path() / "x.png"));
  EXPECT_NE(run("--snapshot " + (out.path() / "x.png").string() + " --interval 5"), 0);
}

}  // namespace
}  // namespace fenwright::testing
