// The listener with a fake service in-process: what a client sees, and what
// the service's handlers see, however the client or the service behaves.

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/ipc/shared_file_info.h"
#include "platform/mapped_memory.h"
#include "tests/ipc/ipc_test_support.h"
#include "tools/client/fenwright_client.h"

namespace fenwright::testing {
namespace {

using client::FenwrightClient;

std::string pidPrefix() { return "connection pid=" + std::to_string(::getpid()) + ": "; }

TEST_F(ListenerTest, SocketIsPrivateAndNamedAfterTheService) {
  struct stat info {};
  ASSERT_EQ(::lstat(runtime_.socketPath().c_str(), &info), 0);
  EXPECT_TRUE(S_ISSOCK(info.st_mode));
  EXPECT_EQ(info.st_mode & 07777, 0600u);
  EXPECT_EQ(info.st_uid, ::geteuid());
  // Published by renaming a socket that already listens; nothing left aside.
  EXPECT_FALSE(std::filesystem::exists(runtime_.socketPath().string() + ".new"));
}

TEST_F(ListenerTest, EveryFetchSharesTheSurfaceWithItsDocumentedFields) {
  UniqueFd socket = dial(runtime_.socketPath());
  auto reply = rawFetch(socket, 0xC0FFEE);
  ASSERT_TRUE(reply);
  EXPECT_EQ(reply->reply.kind, wire::ReplyKind::surface);
  EXPECT_EQ(reply->reply.requestId, 0xC0FFEEu);
  const wire::SurfaceDescription& s = reply->reply.surface;
  EXPECT_EQ(s.surfaceId, surface_->id());
  EXPECT_EQ(std::vector<std::uint64_t>({s.width, s.height, s.bytesPerRow, s.allocationSize,
                                        s.pixelFormat, s.controlSize}),
            std::vector<std::uint64_t>({640, 360, 2560, 921600, 0x42475241, 4096}));
  ASSERT_EQ(reply->fds.size(), 2u);
  EXPECT_EQ(inspectSharedFile(reply->fds[0])->size, 921600u);
  EXPECT_EQ(inspectSharedFile(reply->fds[1])->size, 4096u);

  auto client = FenwrightClient::connect(runtime_.socketPath());
  ASSERT_TRUE(client) << client.error();
  auto first = client->fetchSurface();
  auto second = client->fetchSurface();
  ASSERT_TRUE(first && *first) << first.error();
  ASSERT_TRUE(second && *second) << second.error();
  const client::MappedSurface& mapped = **first;
  EXPECT_EQ((*second)->id(), mapped.id());
  EXPECT_EQ(mapped.id(), surface_->id());
  EXPECT_EQ(mapped.pixelFormat(), 0x42475241u);
  ASSERT_EQ(mapped.pixels().size(), surface_->allocationSize());
  EXPECT_EQ(std::memcmp(mapped.pixels().data(), surface_->baseAddress(), 921600), 0);
  // Shared, not copied: a later render shows through the same mapping.
  surface_->lock();
  surface_->baseAddress()[12345] ^= 0xff;
  surface_->unlock();
  EXPECT_EQ(mapped.pixels()[12345], surface_->baseAddress()[12345]);
  EXPECT_EQ(mapped.seed(), surface_->seed());
  EXPECT_EQ(service_->fetches(), 3);
  ASSERT_TRUE(service_->waitForAccepted(2));
  EXPECT_EQ(service_->pidOf(1), ::getpid());
}

TEST_F(ListenerTest, ClientCanNeitherWriteNorResizeTheSurfaceEvenByReopening) {
  UniqueFd socket = dial(runtime_.socketPath());
  auto reply = rawFetch(socket, 7);
  ASSERT_TRUE(reply);
  ASSERT_EQ(reply->fds.size(), 2u);
  for (const UniqueFd& fd : reply->fds) {
    auto info = inspectSharedFile(fd);
    ASSERT_TRUE(info && info->regularFile && info->openedReadOnly);
    EXPECT_TRUE(info->sealedAgainstShrinking && info->sealedAgainstGrowing);
    std::string procPath = "/proc/self/fd/" + std::to_string(fd.get());
    UniqueFd writable(::open(procPath.c_str(), O_RDWR | O_CLOEXEC));
    // Reopening may succeed; what it opens must still refuse every write.
    for (const UniqueFd* target : {&fd, static_cast<const UniqueFd*>(&writable)}) {
      if (!*target) continue;
      EXPECT_FALSE(MappedMemory::map(*target, info->size, MappedMemory::Access::readWrite));
      EXPECT_EQ(::pwrite(target->get(), "x", 1, 0), -1);
      EXPECT_NE(::ftruncate(target->get(), 16), 0);
      EXPECT_NE(::ftruncate(target->get(), static_cast<off_t>(info->size) * 2), 0);
    }
    auto readOnly = MappedMemory::map(fd, info->size, MappedMemory::Access::readOnly);
    ASSERT_TRUE(readOnly);
    EXPECT_NE(::mprotect(readOnly->data(), info->size, PROT_READ | PROT_WRITE), 0);
  }
  // Nothing the client tried reached the shared pixels.
  EXPECT_EQ(std::memcmp(surface_->baseAddress(), makePatternSurface().baseAddress(), 921600), 0);
  EXPECT_EQ(surface_->seed() % 2, 0u);
}

// However a peer goes (closed before asking, killed with its requests
// unanswered or holding the surface, done writing), its connection alone is
// invalidated, once, and nothing else is called.
TEST_F(ListenerTest, EachPeerThatLeavesInvalidatesItsConnectionOnceAndOnlyIt) {
  UniqueFd stays = dial(runtime_.socketPath());
  ASSERT_TRUE(rawFetch(stays, 1));
  auto request = [](std::uint32_t id) {
    return wire::encodeRequest({wire::Operation::fetchSurface, id});
  };
  const std::function<void(UniqueFd&)> leaves[] = {
      [](UniqueFd&) {},
      [&](UniqueFd& s) {
        for (std::uint32_t id = 1; id <= 50; ++id) ASSERT_TRUE(sendBytes(s, request(id)));
      },
      [](UniqueFd& s) { ASSERT_TRUE(rawFetch(s, 2)); },
      [](UniqueFd& s) {
        ASSERT_TRUE(rawFetch(s, 3));
        ASSERT_EQ(::shutdown(s.get(), SHUT_WR), 0);
      },
  };
  int invalidations = 0;
  for (auto& leave : leaves) {
    {
      UniqueFd socket = dial(runtime_.socketPath());
      leave(socket);
    }
    ASSERT_TRUE(service_->waitForInvalidations(++invalidations));
  }
  auto reply = rawFetch(stays, 4);  // after every other one went
  ASSERT_TRUE(reply);
  EXPECT_EQ(reply->reply.kind, wire::ReplyKind::surface);
  EXPECT_EQ(service_->invalidationsOf(0), 0);
  for (std::size_t i = 1; i <= 4; ++i) EXPECT_EQ(service_->invalidationsOf(i), 1);
  EXPECT_EQ(log_.count(pidPrefix() + "receive failed"), 0u);
}

TEST_F(ListenerTest, NilReplyWhenThereIsNoSurface) {
  listener_.reset();
  auto nilService = std::make_shared<FakeService>(nullptr);
  listener_ = IpcListener::make(kServiceName);
  ASSERT_TRUE(listener_);
  listener_->setDelegate(nilService);
  listener_->resume();

  UniqueFd socket = dial(runtime_.socketPath());
  for (std::uint32_t id : {7u, 8u}) {  // and stays usable after one
    auto reply = rawFetch(socket, id);
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->reply.kind, wire::ReplyKind::nil);
    EXPECT_EQ(reply->reply.requestId, id);
    EXPECT_TRUE(reply->fds.empty());
  }
  auto client = FenwrightClient::connect(runtime_.socketPath());
  ASSERT_TRUE(client);
  auto fetched = client->fetchSurface();
  ASSERT_TRUE(fetched) << fetched.error();
  EXPECT_FALSE(*fetched);
  EXPECT_EQ(nilService->totalInvalidations(), 0);
}

TEST_F(ListenerTest, AServiceThatDoesNotReplyOnceGivesAnErrorReplyOrALogLine) {
  UniqueFd socket = dial(runtime_.socketPath());
  service_->setBehaviour(FakeService::Behaviour::noReply);
  auto none = rawFetch(socket, 3);
  ASSERT_TRUE(none);
  EXPECT_EQ(none->reply.kind, wire::ReplyKind::error);
  EXPECT_EQ(none->reply.error, wire::ErrorCode::serviceUnavailable);
  EXPECT_EQ(none->reply.requestId, 3u);
  EXPECT_TRUE(log_.containsError(pidPrefix() +
                                 "fetchSurface returned without a reply — replied with an error"));

  service_->setBehaviour(FakeService::Behaviour::replyTwice);
  auto twice = rawFetch(socket, 4);
  ASSERT_TRUE(twice);
  EXPECT_EQ(twice->reply.kind, wire::ReplyKind::surface);
  // Had the second reply been sent, it would arrive before this one.
  service_->setBehaviour(FakeService::Behaviour::reply);
  auto next = rawFetch(socket, 5);
  ASSERT_TRUE(next);
  EXPECT_EQ(next->reply.requestId, 5u);
  EXPECT_TRUE(log_.containsError(pidPrefix() + "fetchSurface reply ignored — it replied twice"));

  service_->setBehaviour(FakeService::Behaviour::noExportedObject);
  UniqueFd unexported = dial(runtime_.socketPath());
  auto error = rawFetch(unexported, 6);
  ASSERT_TRUE(error);
  EXPECT_EQ(error->reply.error, wire::ErrorCode::serviceUnavailable);
  EXPECT_EQ(error->reply.message, "no object is exported on this connection");
}

TEST_F(ListenerTest, DeclinedOrUndelegatedConnectionsAreClosedWithoutHandlers) {
  auto expectClosed = [&] {
    UniqueFd socket = dial(runtime_.socketPath());
    ASSERT_EQ(waitReadable(socket, 5s), Readiness::ready);
    EXPECT_EQ(receivePacket(socket, wire::kReplySize, 0).status, ReceivedPacket::Status::closed);
  };
  service_->setBehaviour(FakeService::Behaviour::decline);
  expectClosed();
  EXPECT_TRUE(log_.waitFor(
      "listener: delegate declined connection from pid=" + std::to_string(::getpid()), 5s));
  EXPECT_EQ(service_->totalInvalidations(), 0);

  listener_.reset();
  listener_ = IpcListener::make(kServiceName);
  ASSERT_TRUE(listener_);
  listener_->resume();
  expectClosed();
  EXPECT_TRUE(log_.containsError("listener: refusing connection from pid=" +
                                 std::to_string(::getpid()) + " — no delegate"));
}

TEST_F(ListenerTest, InvalidatedListenerAcceptsNothingNewButKeepsServingItsConnections) {
  UniqueFd socket = dial(runtime_.socketPath());
  ASSERT_TRUE(rawFetch(socket, 1));
  listener_->invalidate();
  ASSERT_TRUE(eventually([&] { return !std::filesystem::exists(runtime_.socketPath()); }));
  EXPECT_FALSE(connectSeqPacket(runtime_.socketPath()));

  auto reply = rawFetch(socket, 2);
  ASSERT_TRUE(reply);
  EXPECT_EQ(reply->reply.kind, wire::ReplyKind::surface);
  EXPECT_EQ(service_->accepted(), 1u);
  EXPECT_EQ(service_->totalInvalidations(), 0);
}

TEST_F(ListenerTest, DestroyingTheListenerClosesEverythingWithoutHandlers) {
  int baseline = settledFdCount();
  int invalidations = service_->totalInvalidations();
  UniqueFd socket = dial(runtime_.socketPath());
  ASSERT_TRUE(rawFetch(socket, 1));
  listener_.reset();

  EXPECT_FALSE(std::filesystem::exists(runtime_.socketPath()));
  ASSERT_EQ(waitReadable(socket, 5s), Readiness::ready);
  EXPECT_EQ(receivePacket(socket, wire::kReplySize, 0).status, ReceivedPacket::Status::closed);
  EXPECT_EQ(service_->totalInvalidations(), invalidations);
  socket.reset();
  // The listener's own descriptors (socket, lock, queue) went with it.
  EXPECT_LT(openFdCount(), baseline);
}

}  // namespace
}  // namespace fenwright::testing
