#include "platform/child_process.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <map>
#include <thread>

extern char** environ;

namespace fenwright {

std::optional<ChildProcess> ChildProcess::spawn(const Options& options) {
  if (options.argv.empty()) return std::nullopt;
  std::map<std::string, std::string> env;
  for (char** e = environ; *e != nullptr; ++e) {
    std::string entry(*e);
    auto eq = entry.find('=');
    if (eq != std::string::npos) env[entry.substr(0, eq)] = entry.substr(eq + 1);
  }
  for (const auto& [name, value] : options.environment) {
    if (value) {
      env[name] = *value;
    } else {
      env.erase(name);
    }
  }
  std::vector<std::string> envStrings;
  for (const auto& [name, value] : env) envStrings.push_back(name + "=" + value);
  std::vector<char*> envp;
  for (auto& s : envStrings) envp.push_back(s.data());
  envp.push_back(nullptr);
  std::vector<std::string> args = options.argv;
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  if (options.stdoutFile)
    posix_spawn_file_actions_addopen(&actions, 1, options.stdoutFile->c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (options.stderrFile)
    posix_spawn_file_actions_addopen(&actions, 2, options.stderrFile->c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0644);
  int pipeFds[2] = {-1, -1};
  if (options.pipeStdin) {
    if (::pipe2(pipeFds, O_CLOEXEC) != 0) {
      posix_spawn_file_actions_destroy(&actions);
      return std::nullopt;
    }
    posix_spawn_file_actions_adddup2(&actions, pipeFds[0], 0);
  }
  pid_t pid = -1;
  int rc = ::posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  if (pipeFds[0] >= 0) ::close(pipeFds[0]);
  if (rc != 0) {
    if (pipeFds[1] >= 0) ::close(pipeFds[1]);
    return std::nullopt;
  }
  return ChildProcess(pid, pipeFds[1]);
}

ChildProcess::ChildProcess(ChildProcess&& other) noexcept
    : pid_(std::exchange(other.pid_, -1)),
      stdinFd_(std::exchange(other.stdinFd_, -1)),
      status_(other.status_) {}

ChildProcess& ChildProcess::operator=(ChildProcess&& other) noexcept {
  if (this != &other) {
    reset();
    pid_ = std::exchange(other.pid_, -1);
    stdinFd_ = std::exchange(other.stdinFd_, -1);
    status_ = other.status_;
  }
  return *this;
}

ChildProcess::~ChildProcess() { reset(); }

void ChildProcess::reset() {
  closeStdin();
  if (pid_ > 0 && !status_) {
    ::kill(pid_, SIGKILL);
    int status = 0;
    while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
    }
  }
  pid_ = -1;
}

bool ChildProcess::running() {
  if (pid_ <= 0 || status_) return false;
  return !waitFor(std::chrono::milliseconds(0)).has_value();
}

std::optional<int> ChildProcess::waitFor(std::chrono::milliseconds timeout) {
  if (status_) return status_;
  if (pid_ <= 0) return std::nullopt;
  auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    int status = 0;
    pid_t done = ::waitpid(pid_, &status, WNOHANG);
    if (done == pid_) {
      status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
      return status_;
    }
    if (done < 0 && errno != EINTR) return std::nullopt;
    if (std::chrono::steady_clock::now() >= deadline) return std::nullopt;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
}

void ChildProcess::signal(int signalNumber) {
  if (pid_ > 0 && !status_) ::kill(pid_, signalNumber);
}

void ChildProcess::kill() {
  signal(SIGKILL);
  waitFor(std::chrono::seconds(5));
}

bool ChildProcess::writeLine(const std::string& line) {
  if (stdinFd_ < 0) return false;
  std::string data = line + "\n";
  const char* p = data.data();
  std::size_t left = data.size();
  while (left > 0) {
    ssize_t n = ::write(stdinFd_, p, left);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    p += n;
    left -= static_cast<std::size_t>(n);
  }
  return true;
}

void ChildProcess::closeStdin() {
  if (stdinFd_ >= 0) ::close(stdinFd_);
  stdinFd_ = -1;
}

}  // namespace fenwright
