#include "support/child_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>

#include "support/eventually.h"

extern char** environ;

namespace fenwright::testing {
namespace {

// Both ends owned from the start; false when the pipe could not be made.
bool makePipe(UniqueFd& readEnd, UniqueFd& writeEnd) {
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) return false;
  readEnd = UniqueFd(fds[0]);
  writeEnd = UniqueFd(fds[1]);
  return true;
}

}  // namespace

std::unique_ptr<ChildProcess> ChildProcess::spawn(const Options& options) {
  UniqueFd inRead, inWrite, outRead, outWrite;
  if (options.pipeStdin && !makePipe(inRead, inWrite)) return nullptr;
  if (options.pipeStdout && !makePipe(outRead, outWrite)) return nullptr;

  // posix_spawn, not fork: a forked child of a threaded process (the X queue,
  // TSan's own threads) may inherit a lock held mid-call and never exec.
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  auto destroy = [](posix_spawn_file_actions_t* a) { posix_spawn_file_actions_destroy(a); };
  std::unique_ptr<posix_spawn_file_actions_t, decltype(destroy)> owned(&actions, destroy);
  auto writeTo = [&](int fd, const std::optional<std::filesystem::path>& file) {
    if (file || options.quiet)
      posix_spawn_file_actions_addopen(&actions, fd, file.value_or("/dev/null").c_str(),
                                       O_WRONLY | O_CREAT | O_TRUNC, 0644);
  };
  if (options.pipeStdin) posix_spawn_file_actions_adddup2(&actions, inRead.get(), STDIN_FILENO);
  if (options.pipeStdout)
    posix_spawn_file_actions_adddup2(&actions, outWrite.get(), STDOUT_FILENO);
  else
    writeTo(STDOUT_FILENO, options.stdoutFile);
  writeTo(STDERR_FILENO, options.stderrFile);

  // `env` sets the variables on top of ours and execs the program in its
  // place, under the same pid.
  std::vector<std::string> argv;
  if (!options.environment.empty()) argv.push_back("env");
  for (const auto& [name, value] : options.environment) argv.push_back(name + "=" + value);
  argv.insert(argv.end(), options.argv.begin(), options.argv.end());
  std::vector<char*> pointers;
  for (auto& s : argv) pointers.push_back(s.data());
  pointers.push_back(nullptr);
  pid_t pid = -1;
  if (posix_spawnp(&pid, pointers[0], &actions, nullptr, pointers.data(), environ) != 0)
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
  signal(SIGKILL);
  wait();
}

// A line shorter than PIPE_BUF goes in one write.
bool ChildProcess::writeLine(const std::string& line) {
  const std::string text = line + "\n";
  return ::write(stdin_.get(), text.data(), text.size()) == static_cast<ssize_t>(text.size());
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
    char buffer[4096];
    ssize_t n = ready > 0 ? ::read(stdout_.get(), buffer, sizeof(buffer)) : 0;
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
  eventually([&] { return reap(WNOHANG); }, timeout, std::chrono::milliseconds(2));
  return status_;
}

int runProgram(std::vector<std::string> argv,
               std::vector<std::pair<std::string, std::string>> environment) {
  ChildProcess::Options options;
  options.argv = std::move(argv);
  options.environment = std::move(environment);
  options.quiet = true;
  auto child = ChildProcess::spawn(options);
  return child ? child->wait() : -1;
}

}  // namespace fenwright::testing
