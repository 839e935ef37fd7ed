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

// The PNG at `path` as RGBA, and its header; nothing unless 8-bit RGBA.
std::vector<std::uint8_t> readPng(const std::filesystem::path& path, spng_ihdr& header) {
  std::ifstream in(path, std::ios::binary);
  std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  std::unique_ptr<spng_ctx, decltype(&spng_ctx_free)> context(spng_ctx_new(0), &spng_ctx_free);
  std::size_t size = 0;
  if (bytes.empty() || spng_set_png_buffer(context.get(), bytes.data(), bytes.size()) != 0 ||
      spng_get_ihdr(context.get(), &header) != 0 || header.bit_depth != 8 ||
      header.color_type != SPNG_COLOR_TYPE_TRUECOLOR_ALPHA ||
      spng_decoded_image_size(context.get(), SPNG_FMT_RGBA8, &size) != 0)
    return {};
  std::vector<std::uint8_t> rgba(size);
  if (spng_decode_image(context.get(), rgba.data(), size, SPNG_FMT_RGBA8, 0) != 0) return {};
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
  spng_ihdr header{};
  auto rgba = readPng(png, header);
  EXPECT_EQ(header.width, 640u);
  EXPECT_EQ(header.height, 360u);
  ASSERT_EQ(rgba.size(), surface_.allocationSize());
  int off = 0;  // red and blue trade places
  for (std::size_t i = 0; i < rgba.size(); ++i)
    off += rgba[i] != surface_.baseAddress()[i % 2 ? i : i ^ 2];
  EXPECT_EQ(off, 0);
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
