#pragma once

#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "support/child_process.h"
#include "support/eventually.h"
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

  // `argvPrefix` runs the helper under another program (a launcher);
  // `environment` comes on top of ours, e.g. a private DISPLAY.
  bool start(std::vector<std::string> argvPrefix = {},
             std::vector<std::pair<std::string, std::string>> environment = {}) {
    ChildProcess::Options options;
    options.argv = std::move(argvPrefix);
    options.argv.push_back(FENWRIGHT_BINARY);
    options.environment = {{"XDG_DATA_HOME", home_.dataHome().string()},
                           {"XDG_RUNTIME_DIR", runtime_.path().string()}};
    for (auto& entry : environment) options.environment.push_back(std::move(entry));
    options.stderrFile = logPath();
    process_ = ChildProcess::spawn(options);
    return process_ != nullptr;
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
    for (std::string line; std::getline(in, line);) {
      // "<date> fenwright[pid:queue] <level> [category] message"
      auto category = line.find(" [");
      auto tag = category == std::string::npos ? category : line.find("] ", category);
      out.push_back(tag == std::string::npos ? line : line.substr(tag + 2));
    }
    return out;
  }
  std::string log() const {
    std::ifstream in(logPath());
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  }
  std::size_t count(const std::string& message) const {
    return std::ranges::count(messages(), message);
  }
  // Lines whose message contains `part` (for messages that carry ids).
  std::size_t countContaining(const std::string& part) const {
    return std::ranges::count_if(messages(), [&](const std::string& m) {
      return m.find(part) != std::string::npos;
    });
  }
  // Lines written at error level.
  std::size_t errorLines() const {
    std::ifstream in(logPath());
    std::size_t n = 0;
    for (std::string line; std::getline(in, line);) n += line.find(" <error> ") != std::string::npos;
    return n;
  }
  bool waitForLogContaining(const std::string& part,
                            std::chrono::milliseconds timeout = std::chrono::seconds(5),
                            std::size_t times = 1) const {
    return eventually([&] { return countContaining(part) >= times; }, timeout);
  }
  bool waitForLog(const std::string& message,
                  std::chrono::milliseconds timeout = std::chrono::seconds(5),
                  std::size_t times = 1) const {
    return eventually([&] { return count(message) >= times; }, timeout);
  }
  std::optional<int> waitForExit(std::chrono::milliseconds timeout = std::chrono::seconds(5)) {
    return process_ ? process_->waitFor(timeout) : std::nullopt;
  }

 private:
  const SentinelHome& home_;
  TempDir runtime_;
  std::unique_ptr<ChildProcess> process_;
};

}  // namespace fenwright::testing
