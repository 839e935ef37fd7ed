#include "x_server.h"

#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>

#include "support/eventually.h"

namespace fenwright::testing {

std::unique_ptr<XServer> XServer::start(const std::string& size,
                                        std::vector<std::string> extraArguments,
                                        const std::string& display) {
  ChildProcess::Options options;
  options.argv = {"Xvfb"};
  if (!display.empty()) options.argv.push_back(display);
  // -noreset: monitors set with xrandr must outlive the xrandr client.
  options.argv.insert(
      options.argv.end(),
      {"-displayfd", "1", "-screen", "0", size + "x24", "-nolisten", "tcp", "-noreset",
       "+extension", "Composite", "+extension", "DAMAGE", "+extension", "RANDR"});
  options.argv.insert(options.argv.end(), extraArguments.begin(), extraArguments.end());
  options.quiet = options.pipeStdout = true;
  auto server = std::make_unique<XServer>();
  server->xvfb_ = ChildProcess::spawn(options);
  // Its stdout carries the number it took, and nothing else.
  auto number = server->xvfb_ ? server->xvfb_->readLine(std::chrono::seconds(15)) : std::nullopt;
  if (!number || number->empty()) return nullptr;
  server->display_ = ":" + *number;
  return server;
}

XServer::~XServer() {
  windowManager_.reset();
  if (xvfb_) {
    xvfb_->signal(SIGTERM);
    xvfb_->wait();
  }
}

void XServer::kill() {
  xvfb_->signal(SIGKILL);
  xvfb_->wait();
  windowManager_.reset();
}

bool XServer::startWindowManager() {
  ChildProcess::Options options;
  options.argv = {"openbox", "--sm-disable"};
  options.environment = {{"DISPLAY", display_}};
  options.quiet = true;
  windowManager_ = ChildProcess::spawn(options);
  if (!windowManager_) return false;
  // Ready means managing: a window mapped before the manager took over the
  // screen stays unmanaged, so probe until a new one is in the client list.
  const bool managing = eventually(
      [&] {
        auto probe = TestWindowProcess::start(display_, {"--size", "10x10"});
        if (!probe) return false;
        char id[16];
        std::snprintf(id, sizeof(id), "0x%x", probe->id());
        probes_.push_back(std::move(probe));
        return eventually([&] {
                 return propertyLine(display_, "-root", "_NET_CLIENT_LIST").find(id) !=
                        std::string::npos;
               }, std::chrono::milliseconds(500), std::chrono::milliseconds(25));
      },
      std::chrono::seconds(15), std::chrono::milliseconds(0));
  // Out of the way of the test's windows, still holding their ids.
  for (auto& probe : probes_) probe->command("unmap");
  return managing;
}

const std::string& sharedDisplay() {
  static const std::string display = [] {
    const char* fromEnvironment = std::getenv("DISPLAY");
    if (fromEnvironment == nullptr || *fromEnvironment == '\0') {
      // Lives as long as the test process.
      static std::unique_ptr<XServer> own = XServer::start();
      return own ? own->display() : std::string(":invalid");
    }
    // An X server resets when its last client leaves, and refuses clients
    // meanwhile. One idle client held for this process keeps it from
    // resetting under the test; it may itself meet a reset, so it retries.
    static std::unique_ptr<TestWindowProcess> keeper;
    eventually([&] {
      keeper = TestWindowProcess::start(fromEnvironment, {"--unmapped", "--size", "1x1"});
      return keeper != nullptr;
    }, std::chrono::seconds(1), std::chrono::milliseconds(50));
    return std::string(fromEnvironment);
  }();
  return display;
}

std::string propertyLine(const std::string& display, const std::string& window,
                         const std::string& property) {
  ChildProcess::Options probe;
  probe.argv = {"xprop", "-notype", window == "-root" ? "-root" : "-id"};
  if (window != "-root") probe.argv.push_back(window);
  probe.argv.push_back(property);
  probe.environment = {{"DISPLAY", display}};
  probe.pipeStdout = true;
  auto xprop = ChildProcess::spawn(probe);
  return xprop ? xprop->readLine(std::chrono::seconds(5)).value_or("") : std::string();
}

}  // namespace fenwright::testing
