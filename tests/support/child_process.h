#pragma once

#include <sys/types.h>
#include <sys/wait.h>

#include <chrono>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/unique_fd.h"

namespace fenwright::testing {

// A program the tests start and end by its own pid, never by name; killed
// and reaped when its owner lets go of it.
class ChildProcess {
 public:
  struct Options {
    std::vector<std::string> argv;
    // Set on top of this process's environment.
    std::vector<std::pair<std::string, std::string>> environment;
    std::optional<std::filesystem::path> stdoutFile;
    std::optional<std::filesystem::path> stderrFile;
    bool pipeStdin = false;
    bool pipeStdout = false;
    bool quiet = false;  // stdout and stderr to /dev/null unless piped or filed
  };

  static std::unique_ptr<ChildProcess> spawn(const Options& options);
  ~ChildProcess();
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  pid_t pid() const { return pid_; }
  bool writeLine(const std::string& line);
  // One line of the child's stdout, without the newline.
  std::optional<std::string> readLine(std::chrono::milliseconds timeout);
  void signal(int number);
  // The exit status, or 128 + the signal; waitFor gives nothing on timeout.
  int wait();
  std::optional<int> waitFor(std::chrono::milliseconds timeout);
  bool running() { return !reap(WNOHANG); }

 private:
  ChildProcess() = default;
  bool reap(int options);
  pid_t pid_ = -1;
  UniqueFd stdin_;
  UniqueFd stdout_;
  std::string pending_;
  std::optional<int> status_;
};

// Runs a program to its end; its exit status, or -1 when it could not run.
int runProgram(std::vector<std::string> argv,
               std::vector<std::pair<std::string, std::string>> environment = {});

}  // namespace fenwright::testing
