#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "support/child_process.h"

namespace fenwright::testing {

// One running fenwright_test_window on a display.
class TestWindowProcess {
 public:
  // nullptr when it did not show its window within a few seconds.
  // `program`: another that prints "window <id>" likewise.
  static std::unique_ptr<TestWindowProcess> start(const std::string& display,
                                                  std::vector<std::string> arguments = {},
                                                  const char* program = FENWRIGHT_TEST_WINDOW) {
    ChildProcess::Options options;
    options.argv = {program};
    options.argv.insert(options.argv.end(), arguments.begin(), arguments.end());
    options.environment = {{"DISPLAY", display}};
    options.pipeStdin = options.pipeStdout = true;
    auto window = std::make_unique<TestWindowProcess>();
    window->process_ = ChildProcess::spawn(options);
    auto line = window->process_ ? window->process_->readLine(std::chrono::seconds(10)) : std::nullopt;
    if (!line || line->rfind("window ", 0) != 0) return nullptr;
    window->id_ = static_cast<std::uint32_t>(std::stoul(line->substr(7)));
    return window;
  }

  std::uint32_t id() const { return id_; }
  ChildProcess& process() { return *process_; }
  // Sends one command and waits until the program says it is done.
  bool command(const std::string& line) {
    if (!process_->writeLine(line)) return false;
    for (auto answer = process_->readLine(std::chrono::seconds(10)); answer;
         answer = process_->readLine(std::chrono::seconds(10)))
      if (*answer == "ok " + line) return true;
    return false;
  }

 private:
  std::unique_ptr<ChildProcess> process_;
  std::uint32_t id_ = 0;
};

}  // namespace fenwright::testing
