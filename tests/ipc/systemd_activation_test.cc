// The listener started by socket activation, with LISTEN_FDS/LISTEN_PID set
// by hand. A socket of the right kind, passed by the real launcher to the
// real helper, is shown in tests/process (SocketActivation).

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include <gtest/gtest.h>

#include "support/child_process.h"
#include "tests/ipc/ipc_test_support.h"
#include "tools/client/fenwright_client.h"

namespace fenwright::testing {
namespace {

TEST(SystemdActivationTest, PassedSocketOfTheWrongKindIsClosedAndTheUsualPathServes) {
  RuntimeDir runtime;
  // Listening, but a stream socket; inherited by the server as descriptor 3.
  UniqueFd stream(::socket(AF_UNIX, SOCK_STREAM, 0));
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strncpy(address.sun_path, (runtime.path() / "s").c_str(), sizeof address.sun_path - 1);
  ASSERT_EQ(::bind(stream.get(), reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  ASSERT_EQ(::listen(stream.get(), 1), 0);
  struct stat streamInfo {};
  ASSERT_EQ(::fstat(stream.get(), &streamInfo), 0);
  const std::string streamLink = "socket:[" + std::to_string(streamInfo.st_ino) + "]";
  const std::string fd = std::to_string(stream.get());
  ChildProcess::Options options;
  // The shell's pid is the server's: exec keeps it.
  options.argv = {"/bin/sh", "-c",
                  "export LISTEN_PID=$$ LISTEN_FDS=1; exec \"$0\"" +
                      (fd == "3" ? "" : " 3<&" + fd + " " + fd + "<&-"),
                  FENWRIGHT_IPC_TEST_SERVER};
  options.stderrFile = runtime.path() / "server.log";
  auto server = ChildProcess::spawn(options);
  ASSERT_TRUE(server);
  ASSERT_TRUE(eventually([&] { return std::filesystem::exists(runtime.socketPath()); }));
  int holding = 0;
  for (auto& entry : std::filesystem::directory_iterator(
           "/proc/" + std::to_string(server->pid()) + "/fd")) {
    std::error_code ignored;
    holding += std::filesystem::read_symlink(entry.path(), ignored).string() == streamLink;
  }
  EXPECT_EQ(holding, 0);

  // A socket file can show before its owner listens on it.
  auto client = client::FenwrightClient::connect(runtime.socketPath());
  for (int attempt = 0; !client && attempt < 500; ++attempt) {
    std::this_thread::sleep_for(10ms);
    client = client::FenwrightClient::connect(runtime.socketPath());
  }
  ASSERT_TRUE(client) << client.error();
  auto fetched = client->fetchSurface();
  ASSERT_TRUE(fetched && *fetched) << fetched.error();
  std::vector<std::uint8_t> frame(921600);
  ASSERT_TRUE((*fetched)->copyFrame(frame));
  EXPECT_EQ(std::memcmp(frame.data(), makePatternSurface().baseAddress(), frame.size()), 0);
  client = unexpected(std::string("closed"));
  // The client closed: the server's invalidation handler ends it.
  EXPECT_EQ(server->waitFor(5s), std::optional<int>(0));
  std::stringstream log;
  log << std::ifstream(runtime.path() / "server.log").rdbuf();
  EXPECT_NE(log.str().find("listener: systemd passed 1 descriptor(s), none a listening AF_UNIX "
                           "SOCK_SEQPACKET socket — binding the socket here instead"),
            std::string::npos)
      << log.str();
}

}  // namespace
}  // namespace fenwright::testing
