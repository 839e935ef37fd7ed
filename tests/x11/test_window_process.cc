#include "test_window_process.h"

#include <chrono>

namespace fenwright::testing {

std::unique_ptr<TestWindowProcess> TestWindowProcess::start(const std::string& display,
                                                            std::vector<std::string> arguments) {
  ChildProcess::Options options;
  options.argv = {FENWRIGHT_TEST_WINDOW};
  for (auto& argument : arguments) options.argv.push_back(std::move(argument));
  options.environment = {{"DISPLAY", display}};
  options.pipeStdin = true;
  options.pipeStdout = true;
  auto process = ChildProcess::spawn(options);
  if (!process) return nullptr;
  auto line = process->readLine(std::chrono::seconds(10));
  if (!line || line->rfind("window ", 0) != 0) return nullptr;
  auto window = std::unique_ptr<TestWindowProcess>(new TestWindowProcess());
  window->id_ = static_cast<std::uint32_t>(std::stoul(line->substr(7)));
  window->process_ = std::move(process);
  return window;
}

bool TestWindowProcess::command(const std::string& line) {
  if (!process_->writeLine(line)) return false;
  for (;;) {
    auto answer = process_->readLine(std::chrono::seconds(10));
    if (!answer) return false;
    if (*answer == "ok " + line) return true;
  }
}

}  // namespace fenwright::testing
