#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "support/child_process.h"
#include "support/eventually.h"
#include "support/temp_dir.h"
#include "tools/client/fenwright_client.h"

namespace fenwright::testing {

// The real helper binary, run with its own data home and runtime
// directory; its log (stderr) is read back line by line.
class HelperProcess {
 public:
  explicit HelperProcess(const SentinelHome& home) : home_(home) {
    std::filesystem::permissions(runtime_.path(), std::filesystem::perms::owner_all,
                                 std::filesystem::perm_options::replace);
  }

  // `argvPrefix` runs the helper under another program (a launcher);
  // `display`, when given, in place of ours.
  bool start(std::vector<std::string> argvPrefix = {}, const std::string& display = {}) {
    ChildProcess::Options options;
    options.argv = std::move(argvPrefix);
    options.argv.push_back(FENWRIGHT_BINARY);
    options.environment = {{"XDG_DATA_HOME", home_.dataHome().string()},
                           {"XDG_RUNTIME_DIR", runtime_.path().string()}};
    if (!display.empty()) options.environment.emplace_back("DISPLAY", display);
    options.stderrFile = logPath();
    process_ = ChildProcess::spawn(options);
    return process_ != nullptr;
  }

  // As an extension meets it: started (`display` empty: no X server),
  // dialled once it listens, its surface fetched. Fails the calling test
  // with the log; call it inside ASSERT_NO_FATAL_FAILURE.
  void startDialled(const std::string& display = {}, std::vector<std::string> argvPrefix = {}) {
    ASSERT_TRUE(start(std::move(argvPrefix), display));
    ASSERT_TRUE(waitForLog("listening on ", std::chrono::seconds(10)));
    auto dialled = client::FenwrightClient::connect(socketPath());
    ASSERT_TRUE(dialled) << dialled.error();
    client_.emplace(std::move(*dialled));
    auto fetched = client_->fetchSurface();
    ASSERT_TRUE(fetched) << fetched.error() << "\n" << log();
    ASSERT_TRUE(fetched->has_value()) << "nil reply\n" << log();
    surface_.emplace(std::move(**fetched));
  }
  client::FenwrightClient& client() { return *client_; }
  const client::MappedSurface& surface() const { return *surface_; }
  // The extension goes away; the helper should follow with status 0.
  void hangUp() { client_.reset(); }

  std::filesystem::path socketPath() const {
    return runtime_.path() / "Q2WXR7TZ4M.com.quenfield.app.pipmode";
  }
  std::filesystem::path logPath() const { return runtime_.path() / "helper.log"; }
  ChildProcess& process() { return *process_; }

  std::string log() const { return readFile(logPath()); }
  // Log lines containing `part`; " <error> " counts those at error level.
  std::size_t count(const std::string& part) const {
    std::size_t lines = 0;
    std::istringstream in(log());
    for (std::string line; std::getline(in, line);) lines += line.find(part) != std::string::npos;
    return lines;
  }
  // Fails with the log unless `part` is logged `times` times in time.
  ::testing::AssertionResult waitForLog(const std::string& part,
                                        std::chrono::milliseconds timeout = std::chrono::seconds(5),
                                        std::size_t times = 1) const {
    if (eventually([&] { return count(part) >= times; }, timeout))
      return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "\"" << part << "\" not logged " << times
                                         << " time(s):\n" << log();
  }
  std::optional<int> waitForExit(std::chrono::milliseconds timeout = std::chrono::seconds(5)) {
    return process_ ? process_->waitFor(timeout) : std::nullopt;
  }

 private:
  const SentinelHome& home_;
  TempDir runtime_;
  std::unique_ptr<ChildProcess> process_;
  std::optional<client::FenwrightClient> client_;
  std::optional<client::MappedSurface> surface_;
};

}  // namespace fenwright::testing
