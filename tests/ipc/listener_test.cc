// The listener with a fake service in-process: what a well-behaved client
// sees, and what the service's handlers see.

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/ipc/shared_file_info.h"
#include "tests/ipc/ipc_test_support.h"
#include "tools/client/fenwright_client.h"

namespace fenwright::testing {
namespace {

using client::FenwrightClient;

TEST_F(ListenerTest, SocketIsPrivateAndNamedAfterTheService) {
  struct stat info {};
  ASSERT_EQ(::lstat(runtime_.socketPath().c_str(), &info), 0);
  EXPECT_TRUE(S_ISSOCK(info.st_mode));
  EXPECT_EQ(info.st_mode & 07777, 0600u);
  EXPECT_EQ(info.st_uid, ::geteuid());
  // Published by renaming a socket that already listens; nothing left aside.
  EXPECT_FALSE(std::filesystem::exists(runtime_.socketPath().string() + ".new"));
}

TEST_F(ListenerTest, FetchedSurfaceMatchesTheSharedSurfaceBytes) {
  auto client = FenwrightClient::connect(runtime_.socketPath());
  ASSERT_TRUE(client) << client.error();
  auto fetched = client->fetchSurface();
  ASSERT_TRUE(fetched) << fetched.error();
  ASSERT_TRUE(*fetched);
  const client::MappedSurface& mapped = **fetched;

  EXPECT_EQ(mapped.id(), surface_->id());
  EXPECT_EQ(mapped.width(), 640u);
  EXPECT_EQ(mapped.height(), 360u);
  EXPECT_EQ(mapped.bytesPerRow(), 2560u);
  EXPECT_EQ(mapped.allocationSize(), 921600u);
  EXPECT_EQ(mapped.pixelFormat(), 0x42475241u);
  ASSERT_EQ(mapped.pixels().size(), surface_->allocationSize());
  EXPECT_EQ(std::memcmp(mapped.pixels().data(), surface_->baseAddress(), 921600), 0);

  // Shared, not copied: a later render shows through the same mapping.
  surface_->lock();
  surface_->baseAddress()[12345] ^= 0xff;
  surface_->unlock();
  EXPECT_EQ(mapped.pixels()[12345], surface_->baseAddress()[12345]);
  EXPECT_EQ(mapped.seed(), surface_->seed());

  std::vector<std::uint8_t> frame(mapped.allocationSize());
  auto seed = mapped.copyFrame(frame);
  ASSERT_TRUE(seed) << seed.error();
  EXPECT_EQ(*seed % 2, 0u);
  EXPECT_EQ(std::memcmp(frame.data(), surface_->baseAddress(), frame.size()), 0);

  ASSERT_TRUE(service_->waitForAccepted(1));
  EXPECT_EQ(service_->pidOf(0), ::getpid());
}

TEST_F(ListenerTest, ReplyCarriesTheDocumentedFieldsAndTwoReadOnlySealedDescriptors) {
  UniqueFd socket = dial(runtime_.socketPath());
  auto reply = rawFetch(socket, 0xC0FFEE);
  ASSERT_TRUE(reply);
  EXPECT_EQ(reply->reply.kind, wire::ReplyKind::surface);
  EXPECT_EQ(reply->reply.requestId, 0xC0FFEEu);
  EXPECT_EQ(reply->reply.surface.surfaceId, surface_->id());
  EXPECT_EQ(reply->reply.surface.width, 640u);
  EXPECT_EQ(reply->reply.surface.height, 360u);
  EXPECT_EQ(reply->reply.surface.bytesPerRow, 2560u);
  EXPECT_EQ(reply->reply.surface.allocationSize, 921600u);
  EXPECT_EQ(reply->reply.surface.pixelFormat, 0x42475241u);
  EXPECT_EQ(reply->reply.surface.controlSize, 4096u);
  ASSERT_EQ(reply->fds.size(), 2u);
  for (const UniqueFd& fd : reply->fds) {
    auto info = inspectSharedFile(fd);
    ASSERT_TRUE(info);
    EXPECT_TRUE(info->regularFile);
    EXPECT_TRUE(info->openedReadOnly);
    EXPECT_TRUE(info->sealedAgainstShrinking);
    EXPECT_TRUE(info->sealedAgainstGrowing);
  }
  EXPECT_EQ(inspectSharedFile(reply->fds[0])->size, 921600u);
  EXPECT_EQ(inspectSharedFile(reply->fds[1])->size, 4096u);
}

TEST_F(ListenerTest, ClientCanNeitherWriteNorResizeTheSurfaceEvenByReopening) {
  UniqueFd socket = dial(runtime_.socketPath());
  auto reply = rawFetch(socket, 7);
  ASSERT_TRUE(reply);
  ASSERT_EQ(reply->fds.size(), 2u);
  for (const UniqueFd& fd : reply->fds) {
    std::string procPath = "/proc/self/fd/" + std::to_string(fd.get());
    UniqueFd writable(::open(procPath.c_str(), O_RDWR | O_CLOEXEC));
    // Reopening may succeed; what it opens must still refuse every write.
    const UniqueFd& target = writable ? writable : fd;
    std::size_t size = inspectSharedFile(fd)->size;
    void* mapped = ::mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, target.get(), 0);
    EXPECT_EQ(mapped, MAP_FAILED);
    if (mapped != MAP_FAILED) ::munmap(mapped, size);
    char byte = 1;
    EXPECT_EQ(::pwrite(target.get(), &byte, 1, 0), -1);
    EXPECT_NE(::ftruncate(target.get(), 16), 0);
    EXPECT_NE(::ftruncate(target.get(), static_cast<off_t>(size) * 2), 0);
  }
  EXPECT_EQ(surface_->seed() % 2, 0u);
}

TEST_F(ListenerTest, SecondFetchOnTheSameConnectionGivesTheSameSurface) {
  auto client = FenwrightClient::connect(runtime_.socketPath());
  ASSERT_TRUE(client) << client.error();
  auto first = client->fetchSurface();
  auto second = client->fetchSurface();
  ASSERT_TRUE(first && *first) << first.error();
  ASSERT_TRUE(second && *second) << second.error();
  EXPECT_EQ((*first)->id(), (*second)->id());
  EXPECT_EQ(service_->fetches(), 2);
  EXPECT_EQ(service_->accepted(), 1u);
}

TEST_F(ListenerTest, SecondClientIsServedTooAndClosingOneInvalidatesOnlyIt) {
  auto first = FenwrightClient::connect(runtime_.socketPath());
  ASSERT_TRUE(first) << first.error();
  auto firstSurface = first->fetchSurface();
  ASSERT_TRUE(firstSurface && *firstSurface);

  {
    auto second = FenwrightClient::connect(runtime_.socketPath());
    ASSERT_TRUE(second) << second.error();
    auto secondSurface = second->fetchSurface();
    ASSERT_TRUE(secondSurface && *secondSurface) << secondSurface.error();
    EXPECT_EQ((*secondSurface)->id(), (*firstSurface)->id());
    ASSERT_TRUE(service_->waitForAccepted(2));
  }
  ASSERT_TRUE(service_->waitForInvalidations(1));
  EXPECT_EQ(service_->invalidationsOf(1), 1);
  EXPECT_EQ(service_->invalidationsOf(0), 0);

  // The first one is still served.
  auto again = first->fetchSurface();
  ASSERT_TRUE(again && *again) << again.error();
}

TEST_F(ListenerTest, ClosingTheClientFiresTheInvalidationHandlerOnce) {
  {
    auto client = FenwrightClient::connect(runtime_.socketPath());
    ASSERT_TRUE(client);
    ASSERT_TRUE(client->fetchSurface());
  }
  ASSERT_TRUE(service_->waitForInvalidations(1));
  // Nothing else is coming: a further connection's cycle completes first.
  settledFdCount();
  EXPECT_EQ(service_->invalidationsOf(0), 1);
  EXPECT_EQ(service_->totalInvalidations(), 2);
}

TEST_F(ListenerTest, ConnectionClosedBeforeAnyRequestIsInvalidatedOnce) {
  dial(runtime_.socketPath());  // closed at once
  ASSERT_TRUE(service_->waitForInvalidations(1));
  EXPECT_EQ(service_->invalidationsOf(0), 1);
  EXPECT_EQ(service_->fetches(), 0);
}

TEST_F(ListenerTest, ClientThatClosesBeforeItsReplyIsInvalidatedOnce) {
  {
    UniqueFd socket = dial(runtime_.socketPath());
    for (std::uint32_t id = 1; id <= 50; ++id)
      ASSERT_TRUE(sendBytes(socket, wire::encodeRequest({wire::Operation::fetchSurface, id})));
  }
  ASSERT_TRUE(service_->waitForInvalidations(1));
  settledFdCount();
  EXPECT_EQ(service_->invalidationsOf(0), 1);
}

TEST_F(ListenerTest, ClientThatShutsDownWritingIsInvalidated) {
  UniqueFd socket = dial(runtime_.socketPath());
  ASSERT_TRUE(rawFetch(socket, 1));
  ASSERT_EQ(::shutdown(socket.get(), SHUT_WR), 0);
  ASSERT_TRUE(service_->waitForInvalidations(1));
  EXPECT_EQ(service_->invalidationsOf(0), 1);
}

TEST_F(ListenerTest, NilReplyWhenThereIsNoSurface) {
  listener_.reset();
  auto nilService = std::make_shared<FakeService>(nullptr);
  listener_ = IpcListener::make(kServiceName);
  ASSERT_TRUE(listener_);
  listener_->setDelegate(nilService);
  listener_->resume();

  UniqueFd socket = dial(runtime_.socketPath());
  auto reply = rawFetch(socket, 7);
  ASSERT_TRUE(reply);
  EXPECT_EQ(reply->reply.kind, wire::ReplyKind::nil);
  EXPECT_EQ(reply->reply.requestId, 7u);
  EXPECT_TRUE(reply->fds.empty());

  auto client = FenwrightClient::connect(runtime_.socketPath());
  ASSERT_TRUE(client);
  auto fetched = client->fetchSurface();
  ASSERT_TRUE(fetched) << fetched.error();
  EXPECT_FALSE(*fetched);
  // The connection stays usable after a nil reply.
  auto second = rawFetch(socket, 8);
  ASSERT_TRUE(second);
  EXPECT_EQ(second->reply.kind, wire::ReplyKind::nil);
  EXPECT_EQ(nilService->totalInvalidations(), 0);
}

TEST_F(ListenerTest, ServiceThatDoesNotReplyGivesAnErrorReply) {
  service_->setBehaviour(FakeService::Behaviour::noReply);
  UniqueFd socket = dial(runtime_.socketPath());
  auto reply = rawFetch(socket, 3);
  ASSERT_TRUE(reply);
  EXPECT_EQ(reply->reply.kind, wire::ReplyKind::error);
  EXPECT_EQ(reply->reply.error, wire::ErrorCode::serviceUnavailable);
  EXPECT_EQ(reply->reply.requestId, 3u);
  EXPECT_TRUE(log_.containsError(
      "connection pid=" + std::to_string(::getpid()) +
      ": fetchSurface returned without a reply — replied with an error"));
}

TEST_F(ListenerTest, SecondReplyFromTheServiceIsIgnored) {
  service_->setBehaviour(FakeService::Behaviour::replyTwice);
  UniqueFd socket = dial(runtime_.socketPath());
  auto first = rawFetch(socket, 1);
  ASSERT_TRUE(first);
  EXPECT_EQ(first->reply.kind, wire::ReplyKind::surface);
  // Had a second reply been sent, it would arrive before this one.
  service_->setBehaviour(FakeService::Behaviour::reply);
  auto next = rawFetch(socket, 2);
  ASSERT_TRUE(next);
  EXPECT_EQ(next->reply.requestId, 2u);
  EXPECT_TRUE(log_.containsError("connection pid=" + std::to_string(::getpid()) +
                                 ": fetchSurface reply ignored — it replied twice"));
}

TEST_F(ListenerTest, ConnectionWithoutExportedObjectGetsAnErrorReply) {
  service_->setBehaviour(FakeService::Behaviour::noExportedObject);
  UniqueFd socket = dial(runtime_.socketPath());
  auto reply = rawFetch(socket, 4);
  ASSERT_TRUE(reply);
  EXPECT_EQ(reply->reply.kind, wire::ReplyKind::error);
  EXPECT_EQ(reply->reply.error, wire::ErrorCode::serviceUnavailable);
  EXPECT_EQ(reply->reply.message, "no object is exported on this connection");
}

TEST_F(ListenerTest, DeclinedConnectionIsClosedWithoutHandlers) {
  service_->setBehaviour(FakeService::Behaviour::decline);
  UniqueFd socket = dial(runtime_.socketPath());
  ASSERT_EQ(waitReadable(socket, 5s), Readiness::ready);
  ReceivedPacket packet = receivePacket(socket, wire::kReplySize, 0);
  EXPECT_EQ(packet.status, ReceivedPacket::Status::closed);
  EXPECT_TRUE(log_.waitFor("listener: delegate declined connection from pid=" +
                               std::to_string(::getpid()),
                           5s));
  EXPECT_EQ(service_->totalInvalidations(), 0);
}

TEST_F(ListenerTest, ListenerWithoutDelegateRefusesConnections) {
  listener_.reset();
  listener_ = IpcListener::make(kServiceName);
  ASSERT_TRUE(listener_);
  listener_->resume();
  UniqueFd socket = dial(runtime_.socketPath());
  ASSERT_EQ(waitReadable(socket, 5s), Readiness::ready);
  EXPECT_EQ(receivePacket(socket, wire::kReplySize, 0).status, ReceivedPacket::Status::closed);
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
