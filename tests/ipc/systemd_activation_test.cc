// The listener started by socket activation, with LISTEN_FDS/LISTEN_PID set
// by hand.

#include <fcntl.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/ipc/ipc_test_support.h"
#include "tools/client/fenwright_client.h"

namespace fenwright::testing {
namespace {

constexpr const char* kServer = FENWRIGHT_IPC_TEST_SERVER;

std::string readFile(const std::filesystem::path& path) {
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

// Runs `argv` with exactly `env`, stderr into `logPath`, and `passFd` as
// descriptor 3, named by LISTEN_PID as the child's own.
pid_t spawn(const std::vector<std::string>& argv, std::vector<std::string> env,
            const std::filesystem::path& logPath, int passFd) {
  UniqueFd log(::open(logPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600));
  EXPECT_TRUE(log);
  // Filled in by the child, which alone knows its pid.
  std::size_t pidSlot = env.size();
  env.push_back("LISTEN_PID=0000000000");
  std::vector<char*> args, envp;
  for (auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  for (auto& e : env) envp.push_back(e.data());
  envp.push_back(nullptr);
  char* pidDigits = envp[pidSlot] + std::strlen("LISTEN_PID=");

  pid_t child = ::fork();
  if (child != 0) return child;
  // Only system calls from here on.
  ::dup2(log.get(), 2);
  if (passFd == 3) {
    ::fcntl(3, F_SETFD, 0);
  } else {
    ::dup2(passFd, 3);
  }
  char reversed[16];
  int length = 0;
  for (long pid = ::getpid(); pid > 0; pid /= 10) reversed[length++] = '0' + pid % 10;
  for (int i = 0; i < length; ++i) pidDigits[i] = reversed[length - 1 - i];
  pidDigits[length] = '\0';
  ::execve(args[0], args.data(), envp.data());
  ::_exit(127);
}

// The exit status, or -1 when it did not end in time (it is killed then).
int waitForExit(pid_t pid, std::chrono::milliseconds timeout = 5s) {
  auto deadline = std::chrono::steady_clock::now() + timeout;
  int status = 0;
  while (::waitpid(pid, &status, WNOHANG) == 0) {
    if (std::chrono::steady_clock::now() > deadline) {
      ::kill(pid, SIGKILL);
      ::waitpid(pid, &status, 0);
      return -1;
    }
    std::this_thread::sleep_for(5ms);
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// Bound and listening the way systemd does it.
UniqueFd listeningSocket(const std::filesystem::path& path, int type) {
  UniqueFd fd(::socket(AF_UNIX, type | SOCK_CLOEXEC, 0));
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
  if (::bind(fd.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
      ::listen(fd.get(), 1) != 0) {
    return UniqueFd();
  }
  return fd;
}

// What the test server serves, byte for byte.
void expectPatternFrom(const std::filesystem::path& socketPath) {
  // A socket file can show before its owner listens on it.
  auto client = client::FenwrightClient::connect(socketPath);
  for (int attempt = 0; !client && attempt < 500; ++attempt) {
    std::this_thread::sleep_for(10ms);
    client = client::FenwrightClient::connect(socketPath);
  }
  ASSERT_TRUE(client) << client.error();
  auto fetched = client->fetchSurface();
  ASSERT_TRUE(fetched) << fetched.error();
  ASSERT_TRUE(*fetched);
  SharedSurface expected = makePatternSurface();
  std::vector<std::uint8_t> frame((*fetched)->allocationSize());
  ASSERT_TRUE((*fetched)->copyFrame(frame));
  ASSERT_EQ(frame.size(), expected.allocationSize());
  EXPECT_EQ(std::memcmp(frame.data(), expected.baseAddress(), frame.size()), 0);
}

TEST(SystemdActivationTest, TakesTheSocketPassedThroughListenFds) {
  TempDir dir;
  auto socketPath = dir.path() / "activated.sock";
  UniqueFd socket = listeningSocket(socketPath, SOCK_SEQPACKET);
  ASSERT_TRUE(socket);
  auto logPath = dir.path() / "server.log";
  // No XDG_RUNTIME_DIR: nothing but the passed socket can serve.
  pid_t child = spawn({kServer}, {"LISTEN_FDS=1"}, logPath, socket.get());
  ASSERT_GT(child, 0);

  expectPatternFrom(socketPath);
  // The client closed: the server's invalidation handler ends it.
  EXPECT_EQ(waitForExit(child), 0);
  std::string log = readFile(logPath);
  EXPECT_NE(log.find("listener: using " + socketPath.string() + " passed by systemd"),
            std::string::npos)
      << log;
  EXPECT_NE(log.find("test server: connection invalidated"), std::string::npos) << log;
}

// Started by systemd-socket-activate, the real helper is shown in
// tests/process (SocketActivation).
TEST(SystemdActivationTest, PassedSocketOfTheWrongKindIsClosedAndTheUsualPathServes) {
  RuntimeDir runtime;
  // Listening, but a stream socket.
  UniqueFd stream = listeningSocket(runtime.path() / "stream.sock", SOCK_STREAM);
  ASSERT_TRUE(stream);
  struct stat streamInfo {};
  ASSERT_EQ(::fstat(stream.get(), &streamInfo), 0);
  std::string streamLink = "socket:[" + std::to_string(streamInfo.st_ino) + "]";
  auto logPath = runtime.path() / "server.log";
  pid_t child = spawn({kServer},
                      {"LISTEN_FDS=1", "XDG_RUNTIME_DIR=" + runtime.path().string()}, logPath,
                      stream.get());
  ASSERT_GT(child, 0);
  ASSERT_TRUE(eventually([&] { return std::filesystem::exists(runtime.socketPath()); }));
  int holding = 0;
  for (auto& entry :
       std::filesystem::directory_iterator("/proc/" + std::to_string(child) + "/fd")) {
    std::error_code ignored;
    holding += std::filesystem::read_symlink(entry.path(), ignored).string() == streamLink;
  }
  EXPECT_EQ(holding, 0);

  expectPatternFrom(runtime.socketPath());
  EXPECT_EQ(waitForExit(child), 0);
  std::string log = readFile(logPath);
  EXPECT_NE(log.find("listener: systemd passed 1 descriptor(s), none a listening AF_UNIX "
                     "SOCK_SEQPACKET socket — binding the socket here instead"),
            std::string::npos)
      << log;
}

}  // namespace
}  // namespace fenwright::testing
