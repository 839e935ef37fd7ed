#pragma once

#include <sys/stat.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/child_process.h"
#include "support/temp_dir.h"

namespace fenwright::testing {

// The real helper binary, run with its own data home and runtime
// directory; its log (stderr) is read back line by line.
class HelperProcess {
 public:
  explicit HelperProcess(const SentinelHome& home) : home_(home) {
    std::filesystem::permissions(runtime_.path(), std::filesystem::perms::owner_all,
                                 std::filesystem::perm_options::replace);
  }

  bool start(std::vector<std::string> argvPrefix = {}) {
    ChildProcess::Options options;
    options.argv = std::move(argvPrefix);
    options.argv.push_back(FENWRIGHT_BINARY);
    options.environment = {{"XDG_DATA_HOME", home_.dataHome().string()},
                           {"XDG_RUNTIME_DIR", runtime_.path().string()}};
    options.stderrFile = logPath();
    process_ = ChildProcess::spawn(options);
    return process_.has_value();
  }

  std::filesystem::path runtimeDir() const { return runtime_.path(); }
  std::filesystem::path socketPath() const {
    return runtime_.path() / "Q2WXR7TZ4M.com.quenfield.app.pipmode";
  }
  std::filesystem::path logPath() const { return runtime_.path() / "helper.log"; }
  ChildProcess& process() { return *process_; }

  // The message part of every log line written so far.
  std::vector<std::string> messages() const {
    std::vector<std::string> out;
    std::ifstream in(logPath());
    std::string line;
    while (std::getline(in, line)) {
      auto tag = line.find("] ");
      out.push_back(tag == std::string::npos ? line : line.substr(tag + 2));
    }
    return out;
  }
  std::string log() const {
    std::ifstream in(logPath());
    std::stringstream all;
    all << in.rdbuf();
    return all.str();
  }
  std::size_t count(const std::string& message) const {
    std::size_t n = 0;
    for (const auto& m : messages()) n += (m == message);
    return n;
  }
  bool waitForLog(const std::string& message,
                  std::chrono::milliseconds timeout = std::chrono::seconds(5),
                  std::size_t times = 1) const {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    do {
      if (count(message) >= times) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    } while (std::chrono::steady_clock::now() < deadline);
    return false;
  }
  std::optional<int> waitForExit(std::chrono::milliseconds timeout = std::chrono::seconds(5)) {
    return process_ ? process_->waitFor(timeout) : std::nullopt;
  }

 private:
  const SentinelHome& home_;
  TempDir runtime_;
  std::optional<ChildProcess> process_;
};

}  // namespace fenwright::testing
