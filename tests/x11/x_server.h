#pragma once

#include <memory>
#include <string>
#include <vector>

#include "support/child_process.h"

namespace fenwright::testing {

class TestWindowProcess;

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
