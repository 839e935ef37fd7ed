// Where the listener puts its socket, and what it leaves alone.

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <string>

#include <gtest/gtest.h>

#include "tests/ipc/ipc_test_support.h"

namespace fenwright::testing {
namespace {

// A socket bound at `path` by hand; listening unless told otherwise.
UniqueFd bindByHand(const std::filesystem::path& path, int type, bool listening) {
  UniqueFd fd(::socket(AF_UNIX, type | SOCK_CLOEXEC, 0));
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
  EXPECT_EQ(::bind(fd.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
  if (listening) {
    EXPECT_EQ(::listen(fd.get(), 8), 0);
  }
  return fd;
}

ino_t inodeOf(const std::filesystem::path& path) {
  struct stat info {};
  return ::lstat(path.c_str(), &info) == 0 ? info.st_ino : 0;
}

class SocketPathTest : public ::testing::Test {
 protected:
  std::unique_ptr<IpcListener> listen() {
    auto listener = IpcListener::make(kServiceName);
    if (listener) {
      listener->setDelegate(service_);
      listener->resume();
    }
    return listener;
  }
  bool served() {
    UniqueFd socket = dial(runtime_.socketPath());
    auto reply = rawFetch(socket, 1);
    return reply && reply->reply.kind == wire::ReplyKind::surface;
  }

  RuntimeDir runtime_;
  log::CapturedLog log_;
  SharedSurface surface_ = makePatternSurface();
  std::shared_ptr<FakeService> service_ = std::make_shared<FakeService>(&surface_);
};

TEST_F(SocketPathTest, StaleSocketFromADeadProcessIsReplaced) {
  bindByHand(runtime_.socketPath(), SOCK_SEQPACKET, true);  // closed: nobody listens now
  ASSERT_TRUE(std::filesystem::exists(runtime_.socketPath()));
  auto listener = listen();
  ASSERT_TRUE(listener);
  EXPECT_TRUE(log_.contains("listener: replaced stale socket " + runtime_.socketPath().string()));
  EXPECT_TRUE(served());
}

// A live socket of another process (of either type), a second listener of
// ours, a file: each keeps the path, and the listener says why it does not.
TEST_F(SocketPathTest, WhatAlreadyListensOrStandsAtThePathIsLeftAlone) {
  const std::string path = runtime_.socketPath().string();
  struct Occupant {
    std::function<std::shared_ptr<void>()> make;
    std::string line;
  };
  const Occupant occupants[] = {
      {[&] { return std::make_shared<UniqueFd>(bindByHand(path, SOCK_SEQPACKET, true)); },
       "another process is listening on " + path},
      {[&] { return std::make_shared<UniqueFd>(bindByHand(path, SOCK_STREAM, true)); },
       path + " is in use by a socket of another type"},
      {[&] { return std::shared_ptr<void>(listen()); },
       "another process is listening on " + path + " (it holds " + path + ".lock)"},
      {[&] {
         std::ofstream(path) << "not a socket";
         return nullptr;
       },
       path + " exists and is not a socket"},
  };
  for (const Occupant& occupant : occupants) {
    SCOPED_TRACE(occupant.line);
    auto held = occupant.make();
    ino_t inode = inodeOf(path);
    EXPECT_FALSE(listen());
    EXPECT_TRUE(log_.containsError("listener: " + occupant.line + " — not listening"));
    EXPECT_EQ(inodeOf(path), inode);
    held.reset();
    std::filesystem::remove(path);
  }
}

TEST_F(SocketPathTest, RuntimeDirectoryThatIsNotPrivateOrAbsentIsRefused) {
  ASSERT_EQ(::chmod(runtime_.path().c_str(), 0755), 0);
  EXPECT_FALSE(listen());
  EXPECT_TRUE(log_.containsError("listener: runtime directory " + runtime_.path().string() +
                                 " has mode 0755, expected 0700 — not listening"));
  EXPECT_FALSE(std::filesystem::exists(runtime_.socketPath()));

  auto missing = runtime_.path() / "gone";
  ::setenv("XDG_RUNTIME_DIR", missing.c_str(), 1);
  EXPECT_FALSE(listen());
  EXPECT_TRUE(log_.containsError("listener: runtime directory " + missing.string() +
                                 ": No such file or directory — not listening"));

  ::unsetenv("XDG_RUNTIME_DIR");
  EXPECT_FALSE(listen());
  EXPECT_TRUE(log_.containsError("listener: XDG_RUNTIME_DIR is not set — not listening"));

  ::setenv("XDG_RUNTIME_DIR", "run/user", 1);
  EXPECT_FALSE(listen());
  EXPECT_TRUE(log_.containsError(
      "listener: XDG_RUNTIME_DIR \"run/user\" is not an absolute path — not listening"));
}

TEST_F(SocketPathTest, RuntimeDirectoryOfAnotherUserIsRefused) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to hand the directory to another user";
  ASSERT_EQ(::chown(runtime_.path().c_str(), 65534, 65534), 0);
  EXPECT_FALSE(listen());
  EXPECT_TRUE(log_.containsError("listener: runtime directory " + runtime_.path().string() +
                                 " is owned by uid 65534, not by us (uid 0) — not listening"));
  ASSERT_EQ(::chown(runtime_.path().c_str(), 0, 0), 0);
}

TEST_F(SocketPathTest, SocketFileGoesWithTheListenerUnlessReplaced) {
  {
    auto listener = listen();
    ASSERT_TRUE(listener);
    EXPECT_TRUE(std::filesystem::exists(runtime_.socketPath()));
  }
  EXPECT_FALSE(std::filesystem::exists(runtime_.socketPath()));

  auto listener = listen();
  ASSERT_TRUE(listener);
  // Someone else's file now stands at the path; ours must not take it along.
  std::filesystem::remove(runtime_.socketPath());
  { std::ofstream(runtime_.socketPath()) << "successor"; }
  listener.reset();
  EXPECT_TRUE(std::filesystem::exists(runtime_.socketPath()));
}

}  // namespace
}  // namespace fenwright::testing
