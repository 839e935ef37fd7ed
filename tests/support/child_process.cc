#include "support/child_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <thread>

extern char** environ;

namespace fenwright::testing {
namespace {

std::vector<std::string> mergedEnvironment(
    const std::vector<std::pair<std::string, std::string>>& overrides) {
  std::vector<std::string> result;
  for (char** e = environ; *e != nullptr; ++e) {
    std::string entry = *e;
    bool replaced = false;
    for (const auto& [name, value] : overrides)
      if (entry.rfind(name + "=", 0) == 0) replaced = true;
    if (!replaced) result.push_back(entry);
  }
  for (const auto& [name, value] : overrides) result.push_back(name + "=" + value);
  return result;
}

std::vector<char*> pointers(std::vector<std::string>& strings) {
  std::vector<char*> result;
  for (auto& s : strings) result.push_back(s.data());
  result.push_back(nullptr);
  return result;
}

// Both ends owned from the start; false when the pipe could not be made.
bool makePipe(UniqueFd& readEnd, UniqueFd& writeEnd) {
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) return false;
  readEnd = UniqueFd(fds[0]);
  writeEnd = UniqueFd(fds[1]);
  return true;
}

// posix_spawn, not fork: a forked child of a threaded process (the X queue,
// TSan's own threads) may inherit a lock held mid-call and never exec.
class SpawnActions {
 public:
  SpawnActions() { posix_spawn_file_actions_init(&actions_); }
  ~SpawnActions() { posix_spawn_file_actions_destroy(&actions_); }
  SpawnActions(const SpawnActions&) = delete;
  SpawnActions& operator=(const SpawnActions&) = delete;
  posix_spawn_file_actions_t* get() { return &actions_; }

 private:
  posix_spawn_file_actions_t actions_;
};

}  // namespace

std::unique_ptr<ChildProcess> ChildProcess::spawn(const Options& options) {
  UniqueFd inRead, inWrite, outRead, outWrite;
  if (options.pipeStdin && !makePipe(inRead, inWrite)) return nullptr;
  if (options.pipeStdout && !makePipe(outRead, outWrite)) return nullptr;

  SpawnActions actions;
  if (options.pipeStdin) posix_spawn_file_actions_adddup2(actions.get(), inRead.get(), STDIN_FILENO);
  if (options.pipeStdout)
    posix_spawn_file_actions_adddup2(actions.get(), outWrite.get(), STDOUT_FILENO);
  else if (options.stdoutFile || options.quiet)
    posix_spawn_file_actions_addopen(actions.get(), STDOUT_FILENO,
                                     options.stdoutFile.value_or("/dev/null").c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (options.stderrFile || options.quiet)
    posix_spawn_file_actions_addopen(actions.get(), STDERR_FILENO,
                                     options.stderrFile.value_or("/dev/null").c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0644);
  // A dup2 onto itself clears close-on-exec, so descriptor 3 passes as is.
  if (options.passAsFd3 >= 0) posix_spawn_file_actions_adddup2(actions.get(), options.passAsFd3, 3);

  std::vector<std::string> argv = options.argv;
  std::vector<std::string> env = mergedEnvironment(options.environment);
  std::vector<char*> argvPointers = pointers(argv);
  std::vector<char*> envPointers = pointers(env);
  pid_t pid = -1;
  if (posix_spawnp(&pid, argvPointers[0], actions.get(), nullptr, argvPointers.data(),
                   envPointers.data()) != 0)
    return nullptr;
  // The child's ends close here with their owners.
  auto child = std::unique_ptr<ChildProcess>(new ChildProcess());
  child->pid_ = pid;
  child->stdin_ = std::move(inWrite);
  child->stdout_ = std::move(outRead);
  return child;
}

ChildProcess::~ChildProcess() {
  stdin_.reset();
  stdout_.reset();
  if (!status_) {
    ::kill(pid_, SIGKILL);
    wait();
  }
}

bool ChildProcess::writeLine(const std::string& line) {
  std::string text = line + "\n";
  const char* data = text.data();
  std::size_t left = text.size();
  while (left > 0) {
    ssize_t n = ::write(stdin_.get(), data, left);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    data += n;
    left -= static_cast<std::size_t>(n);
  }
  return true;
}

std::optional<std::string> ChildProcess::readLine(std::chrono::milliseconds timeout) {
  auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    if (auto end = pending_.find('\n'); end != std::string::npos) {
      std::string line = pending_.substr(0, end);
      pending_.erase(0, end + 1);
      return line;
    }
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return std::nullopt;
    pollfd pfd{stdout_.get(), POLLIN, 0};
    int ready = ::poll(&pfd, 1, static_cast<int>(left.count()));
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) return std::nullopt;
    char buffer[4096];
    ssize_t n = ::read(stdout_.get(), buffer, sizeof(buffer));
    if (n <= 0) return std::nullopt;
    pending_.append(buffer, static_cast<std::size_t>(n));
  }
}

void ChildProcess::signal(int number) {
  if (!status_) ::kill(pid_, number);
}

// True once the child has ended and its status is kept.
bool ChildProcess::reap(int options) {
  if (status_) return true;
  int status = 0;
  pid_t done;
  while ((done = waitpid(pid_, &status, options)) < 0 && errno == EINTR) {
  }
  if (done != pid_) return false;
  status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  return true;
}

int ChildProcess::wait() {
  reap(0);
  return status_.value_or(-1);
}

std::optional<int> ChildProcess::waitFor(std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!reap(WNOHANG) && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  return status_;
}

bool ChildProcess::running() { return !reap(WNOHANG); }

int runProgram(std::vector<std::string> argv,
               std::vector<std::pair<std::string, std::string>> environment) {
  ChildProcess::Options options;
  options.argv = std::move(argv);
  options.environment = std::move(environment);
  options.quiet = true;
  auto child = ChildProcess::spawn(options);
  if (!child) return -1;
  return child->wait();
}

}  // namespace fenwright::testing
