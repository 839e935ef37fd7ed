// fenwright-view: dials the helper, fetches its surface and saves frames of
// it as PNG files. A series is taken over one connection: the helper exits
// when its client disconnects, so reconnecting would end it.

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <iostream>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <CLI/CLI.hpp>
#include <fmt/format.h>

#include "tools/client/fenwright_client.h"
#include "tools/client/png_writer.h"

namespace {

using fenwright::client::FenwrightClient;
using fenwright::client::MappedSurface;

// "out.png" -> "out-3.png".
std::filesystem::path numbered(const std::filesystem::path& path, int index) {
  std::filesystem::path result = path.parent_path();
  result /= fmt::format("{}-{}{}", path.stem().string(), index, path.extension().string());
  return result;
}

int fail(const std::string& message) {
  std::cerr << "fenwright-view: " << message << '\n';
  return 1;
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{"Fetches the Fenwright surface and saves frames of it as PNG files."};
  std::string snapshot;
  int count = 1;
  int intervalMs = 1000;
  std::string socketPath;
  app.add_option("--snapshot", snapshot, "PNG file for one tear-free frame")->required();
  auto* countOption =
      app.add_option("--count", count, "take N frames, written as NAME-1.png ... NAME-N.png")
          ->check(CLI::Range(1, 1000000));
  app.add_option("--interval", intervalMs, "milliseconds between frames of a series")
      ->check(CLI::Range(0, 24 * 3600 * 1000))
      ->needs(countOption);
  app.add_option("--socket", socketPath,
                 "the helper's socket (default: $XDG_RUNTIME_DIR/Q2WXR7TZ4M.com.quenfield.app.pipmode)");
  CLI11_PARSE(app, argc, argv);

  auto client = socketPath.empty() ? FenwrightClient::connect()
                                   : FenwrightClient::connect(std::filesystem::path(socketPath));
  if (!client) return fail(client.error());
  auto fetched = client->fetchSurface();
  if (!fetched) return fail(fetched.error());
  if (!*fetched) return fail("the helper has no surface yet (nil reply)");
  const MappedSurface& surface = **fetched;

  std::vector<std::uint8_t> frame(surface.allocationSize());
  bool series = countOption->count() > 0;
  auto start = std::chrono::steady_clock::now();
  for (int index = 1; index <= count; ++index) {
    if (index > 1) std::this_thread::sleep_until(start + std::chrono::milliseconds(
                                                             std::int64_t{intervalMs} * (index - 1)));
    auto seed = surface.copyFrame(frame);
    if (!seed) return fail(seed.error());
    std::filesystem::path out = series ? numbered(snapshot, index) : std::filesystem::path(snapshot);
    auto written = fenwright::client::writePngFromBGRA(out, surface.width(), surface.height(),
                                                       surface.bytesPerRow(), frame);
    if (!written) return fail(written.error());
    std::cout << fmt::format("wrote {} ({}x{}, surface {}, frame seed {})", out.string(),
                             surface.width(), surface.height(), surface.id(), *seed)
              << std::endl;
  }
  return 0;
}
