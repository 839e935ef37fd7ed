#pragma once

#include <chrono>
#include <filesystem>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace fenwright {

// A child process started with its own environment and output files;
// killed and reaped when the owner lets go of it.
class ChildProcess {
 public:
  struct Options {
    std::vector<std::string> argv;
    // Set (or, with an empty optional, removed) on top of our environment.
    std::vector<std::pair<std::string, std::optional<std::string>>> environment;
    std::optional<std::filesystem::path> stdoutFile;
    std::optional<std::filesystem::path> stderrFile;
    // Give the child a pipe on its standard input that we can write to.
    bool pipeStdin = false;
  };

  static std::optional<ChildProcess> spawn(const Options& options);

  ChildProcess(ChildProcess&& other) noexcept;
  ChildProcess& operator=(ChildProcess&& other) noexcept;
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;
  ~ChildProcess();

  int pid() const { return pid_; }
  bool running();
  // The exit status, 128 + the signal number when killed; absent on timeout.
  std::optional<int> waitFor(std::chrono::milliseconds timeout);
  void signal(int signalNumber);
  void kill();
  // Writes a line to the child's standard input (with pipeStdin).
  bool writeLine(const std::string& line);
  void closeStdin();

 private:
  ChildProcess(int pid, int stdinFd) : pid_(pid), stdinFd_(stdinFd) {}
  void reset();
  int pid_ = -1;
  int stdinFd_ = -1;
  std::optional<int> status_;
};

}  // namespace fenwright
