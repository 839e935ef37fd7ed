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

// A private Xvfb for tests that change the server (its size, monitors,
// pointer, a window manager) or kill it. Started with -displayfd, ended by
// its pid.
class XServer {
 public:
  // nullptr when it did not come up. `extraArguments` go after the defaults
  // (e.g. "-extension", "MIT-SHM"); `display` (":7") picks the number, e.g.
  // to replace a server that died.
  static std::unique_ptr<XServer> start(const std::string& size = "1920x1080",
                                        std::vector<std::string> extraArguments = {},
                                        const std::string& display = {});
  ~XServer();

  const std::string& display() const { return display_; }
  pid_t pid() const { return xvfb_->pid(); }
  // Kills the server at once (and the window manager with it).
  void kill();
  // Runs an X tool (xrandr, xdotool, ...) against this server.
  int run(std::vector<std::string> argv) const { return runProgram(argv, {{"DISPLAY", display_}}); }
  // Starts openbox and waits until it manages the screen.
  bool startWindowManager();

 private:
  std::string display_;
  std::unique_ptr<ChildProcess> xvfb_;
  std::unique_ptr<ChildProcess> windowManager_;
  // Kept for the server's life: a manager slow to catch up may still act on
  // a probe's id, and a test window given that id would take the probe's
  // size.
  std::vector<std::unique_ptr<TestWindowProcess>> probes_;
};

// The server most tests share: $DISPLAY when set (the one the test script
// started), else a private one for this process.
const std::string& sharedDisplay();

inline int runOnDisplay(const std::string& display, std::vector<std::string> argv) {
  return runProgram(std::move(argv), {{"DISPLAY", display}});
}

// The first line `xprop` prints for a window's (an id, or "-root")
// property, as `NAME = value`.
std::string propertyLine(const std::string& display, const std::string& window,
                         const std::string& property);

}  // namespace fenwright::testing
