#include "platform/wayland/portal_session.h"

#include <fcntl.h>
#include <systemd/sd-bus.h>
#include <time.h>

#include <cstring>
#include <functional>
#include <string_view>
#include <utility>

#include "platform/capture/capture_error.h"
#include "platform/wayland/sd_bus_handles.h"

namespace fenwright::wayland {
namespace {

constexpr const char* kPortal = "org.freedesktop.portal.Desktop";
constexpr const char* kPortalPath = "/org/freedesktop/portal/desktop";
constexpr const char* kScreenCast = "org.freedesktop.portal.ScreenCast";
constexpr std::uint32_t kSourceMonitor = 1;
constexpr std::uint32_t kSourceWindow = 2;
constexpr std::uint32_t kCursorHidden = 1;
constexpr std::uint32_t kCursorEmbedded = 2;
constexpr std::uint32_t kPersistUntilRevoked = 2;
// A method call itself (not the user's answer to a dialog) is quick.
constexpr std::uint64_t kCallTimeoutUsec = 5'000'000;

std::string failure(const char* what, int r) {
  return std::string(what) + ": " + std::strerror(r < 0 ? -r : r);
}

// Walks an a{sv} the message is at; `entry` reads or skips each variant.
int forEachEntry(sd_bus_message* m, const std::function<int(std::string_view)>& entry) {
  int r = sd_bus_message_enter_container(m, 'a', "{sv}");
  if (r < 0) return r;
  while ((r = sd_bus_message_enter_container(m, 'e', "sv")) > 0) {
    const char* key = nullptr;
    if ((r = sd_bus_message_read(m, "s", &key)) < 0) return r;
    if ((r = entry(key)) < 0) return r;
    if ((r = sd_bus_message_exit_container(m)) < 0) return r;
  }
  if (r < 0) return r;
  return sd_bus_message_exit_container(m);
}

int readString(sd_bus_message* m, std::string& out) {
  const char* value = nullptr;
  int r = sd_bus_message_read(m, "v", "s", &value);
  if (r >= 0 && value != nullptr) out = value;
  return r;
}

int readObjectPath(sd_bus_message* m, std::string& out) {
  const char* value = nullptr;
  int r = sd_bus_message_read(m, "v", "o", &value);
  if (r >= 0 && value != nullptr) out = value;
  return r;
}

// The stream list of Start's reply: the first stream's node and size are
// all we use.
struct FirstStream {
  bool found = false;
  std::uint32_t node = 0;
  std::int32_t width = 0, height = 0;
};

int readStreams(sd_bus_message* m, FirstStream& first) {
  int r = sd_bus_message_enter_container(m, 'v', "a(ua{sv})");
  if (r < 0) return r;
  if ((r = sd_bus_message_enter_container(m, 'a', "(ua{sv})")) < 0) return r;
  while ((r = sd_bus_message_enter_container(m, 'r', "ua{sv}")) > 0) {
    std::uint32_t id = 0;
    std::int32_t width = 0, height = 0;
    if ((r = sd_bus_message_read(m, "u", &id)) < 0) return r;
    r = forEachEntry(m, [&](std::string_view key) {
      if (key == "size") return sd_bus_message_read(m, "v", "(ii)", &width, &height);
      return sd_bus_message_skip(m, "v");
    });
    if (r < 0) return r;
    if ((r = sd_bus_message_exit_container(m)) < 0) return r;
    if (!first.found) first = {true, id, width, height};
  }
  if (r < 0) return r;
  if ((r = sd_bus_message_exit_container(m)) < 0) return r;
  return sd_bus_message_exit_container(m);
}

std::uint64_t nowUsec() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<std::uint64_t>(ts.tv_sec) * 1'000'000 +
         static_cast<std::uint64_t>(ts.tv_nsec) / 1000;
}

}  // namespace

// The session's bus connection and what it is waiting for.
class PortalSession::Connection {
 public:
  explicit Connection(SdBus bus) : bus_(std::move(bus)) {}

  sd_bus* bus() const { return bus_.get(); }

  // Calls a portal method that answers through a Request object, and waits
  // for that answer. `build` appends the arguments after the options'
  // opening; `results` reads the answer's a{sv}.
  Expected<Done> request(const char* method, const std::function<int(sd_bus_message*)>& build,
                         const std::function<int(sd_bus_message*)>& results,
                         std::uint64_t deadlineUsec) {
    const std::string token = "fenwright" + std::to_string(++requests_);
    const std::string path = requestPath(token);
    SdBusSlot slot;
    answered_ = false;
    answer_.reset();
    sd_bus_slot* raw = nullptr;
    int r = sd_bus_match_signal(bus(), &raw, kPortal, path.c_str(),
                                "org.freedesktop.portal.Request", "Response",
                                &Connection::onResponse, this);
    slot.reset(raw);
    if (r < 0) return unexpected(failure("cannot watch the portal's answer", r));

    sd_bus_message* rawCall = nullptr;
    r = sd_bus_message_new_method_call(bus(), &rawCall, kPortal, kPortalPath, kScreenCast, method);
    SdBusMessage call(rawCall);
    if (r < 0) return unexpected(failure(method, r));
    if ((r = build(call.get())) < 0) return unexpected(failure(method, r));
    if ((r = sd_bus_message_append(call.get(), "{sv}", "handle_token", "s", token.c_str())) < 0 ||
        (r = sd_bus_message_close_container(call.get())) < 0)
      return unexpected(failure(method, r));
    SdBusError error;
    sd_bus_message* rawReply = nullptr;
    r = sd_bus_call(bus(), call.get(), kCallTimeoutUsec, error.get(), &rawReply);
    SdBusMessage reply(rawReply);
    if (r < 0)
      return unexpected(std::string("the portal refused ") + method + ": " +
                        (error.message() ? error.message() : std::strerror(-r)));

    while (!answered_) {
      r = sd_bus_process(bus(), nullptr);
      if (r < 0) return unexpected(failure("the session bus failed", r));
      if (r > 0) continue;
      const std::uint64_t now = nowUsec();
      if (now >= deadlineUsec) {
        sd_bus_call_method(bus(), kPortal, path.c_str(), "org.freedesktop.portal.Request",
                           "Close", nullptr, nullptr, "");
        return unexpected(std::string("the portal did not answer ") + method + " in time");
      }
      r = sd_bus_wait(bus(), deadlineUsec - now);
      if (r < 0) return unexpected(failure("the session bus failed", r));
    }
    if (!answer_) return unexpected(std::string("unreadable answer to ") + method);
    std::uint32_t response = 2;
    if ((r = sd_bus_message_read(answer_.get(), "u", &response)) < 0)
      return unexpected(failure(method, r));
    if (response == 1) return unexpected(std::string(method) + " was cancelled");
    if (response != 0) return unexpected(std::string(method) + " failed in the portal");
    if ((r = results(answer_.get())) < 0) return unexpected(failure(method, r));
    return Done{};
  }

  bool watchClosed(const std::string& session) {
    sd_bus_slot* raw = nullptr;
    int r = sd_bus_match_signal(bus(), &raw, kPortal, session.c_str(),
                                "org.freedesktop.portal.Session", "Closed",
                                &Connection::onClosed, this);
    closedSlot_.reset(raw);
    return r >= 0;
  }

  bool closed = false;

 private:
  std::string requestPath(const std::string& token) const {
    const char* unique = nullptr;
    sd_bus_get_unique_name(bus(), &unique);
    std::string sender = unique != nullptr && unique[0] == ':' ? unique + 1 : "";
    for (char& c : sender)
      if (c == '.') c = '_';
    return std::string(kPortalPath) + "/request/" + sender + "/" + token;
  }

  static int onResponse(sd_bus_message* m, void* self, sd_bus_error*) {
    auto* connection = static_cast<Connection*>(self);
    connection->answered_ = true;
    connection->answer_.reset(sd_bus_message_ref(m));
    return 0;
  }

  static int onClosed(sd_bus_message*, void* self, sd_bus_error*) {
    static_cast<Connection*>(self)->closed = true;
    return 0;
  }

  SdBus bus_;
  unsigned requests_ = 0;
  bool answered_ = false;
  SdBusMessage answer_;
  SdBusSlot closedSlot_;
};

PortalSession::PortalSession(std::unique_ptr<Connection> connection)
    : connection_(std::move(connection)) {}

PortalSession::~PortalSession() = default;

UniqueFd PortalSession::takeRemote() { return std::move(remote_); }

int PortalSession::descriptor() const { return sd_bus_get_fd(connection_->bus()); }

bool PortalSession::process() {
  while (!connection_->closed) {
    int r = sd_bus_process(connection_->bus(), nullptr);
    if (r < 0) return false;
    if (r == 0) break;
  }
  return !connection_->closed;
}

Expected<std::unique_ptr<PortalSession>> PortalSession::open(const PortalRequest& request) {
  sd_bus* rawBus = nullptr;
  int r = sd_bus_open_user(&rawBus);
  SdBus bus(rawBus);
  if (r < 0) return unexpected(failure("cannot reach the session bus", r));
  auto connection = std::make_unique<Connection>(std::move(bus));
  const std::uint64_t deadline =
      nowUsec() + static_cast<std::uint64_t>(request.timeout.count()) * 1000;

  std::string sessionHandle;
  auto created = connection->request(
      "CreateSession",
      [](sd_bus_message* m) {
        int r = sd_bus_message_open_container(m, 'a', "{sv}");
        if (r < 0) return r;
        return sd_bus_message_append(m, "{sv}", "session_handle_token", "s", "fenwright");
      },
      [&sessionHandle](sd_bus_message* m) {
        return forEachEntry(m, [&](std::string_view key) {
          // Said to be a string; some portals send an object path.
          if (key != "session_handle") return sd_bus_message_skip(m, "v");
          const char* contents = nullptr;
          sd_bus_message_peek_type(m, nullptr, &contents);
          if (contents != nullptr && std::string_view(contents) == "o")
            return readObjectPath(m, sessionHandle);
          return readString(m, sessionHandle);
        });
      },
      deadline);
  if (!created) return unexpected(created.error());
  if (sessionHandle.empty()) return unexpected(std::string("the portal made no session"));
  const char* session = sessionHandle.c_str();

  auto selected = connection->request(
      "SelectSources",
      [&](sd_bus_message* m) {
        int r = sd_bus_message_append(m, "o", session);
        if (r < 0) return r;
        if ((r = sd_bus_message_open_container(m, 'a', "{sv}")) < 0) return r;
        std::uint32_t types =
            request.source == PortalSource::window ? kSourceWindow : kSourceMonitor;
        std::uint32_t cursor = request.showsCursor ? kCursorEmbedded : kCursorHidden;
        if ((r = sd_bus_message_append(m, "{sv}", "types", "u", types)) < 0 ||
            (r = sd_bus_message_append(m, "{sv}", "multiple", "b", 0)) < 0 ||
            (r = sd_bus_message_append(m, "{sv}", "cursor_mode", "u", cursor)) < 0 ||
            (r = sd_bus_message_append(m, "{sv}", "persist_mode", "u", kPersistUntilRevoked)) < 0)
          return r;
        if (request.restoreToken && !request.restoreToken->empty())
          r = sd_bus_message_append(m, "{sv}", "restore_token", "s",
                                    request.restoreToken->c_str());
        return r;
      },
      [](sd_bus_message*) { return 0; }, deadline);
  if (!selected) return unexpected(selected.error());

  FirstStream stream;
  std::string token;
  auto started = connection->request(
      "Start",
      [&](sd_bus_message* m) {
        int r = sd_bus_message_append(m, "os", session, "");
        if (r < 0) return r;
        return sd_bus_message_open_container(m, 'a', "{sv}");
      },
      [&](sd_bus_message* m) {
        return forEachEntry(m, [&](std::string_view key) {
          if (key == "streams") return readStreams(m, stream);
          if (key == "restore_token") return readString(m, token);
          return sd_bus_message_skip(m, "v");
        });
      },
      deadline);
  if (!started) return unexpected(started.error());
  if (!stream.found) return unexpected(std::string("the portal started no stream"));
  if (!connection->watchClosed(sessionHandle))
    return unexpected(std::string("cannot watch the portal session"));

  SdBusError error;
  sd_bus_message* rawReply = nullptr;
  r = sd_bus_call_method(connection->bus(), kPortal, kPortalPath, kScreenCast,
                         "OpenPipeWireRemote", error.get(), &rawReply, "oa{sv}", session, 0);
  SdBusMessage reply(rawReply);
  if (r < 0)
    return unexpected(std::string("the portal gave no PipeWire remote: ") +
                      (error.message() ? error.message() : std::strerror(-r)));
  int fd = -1;
  if ((r = sd_bus_message_read(reply.get(), "h", &fd)) < 0)
    return unexpected(failure("OpenPipeWireRemote", r));
  // The message owns what it read; keep a copy of our own.
  UniqueFd remote(fcntl(fd, F_DUPFD_CLOEXEC, 3));
  if (!remote) return unexpected(failure("cannot keep the PipeWire remote", errno));

  std::unique_ptr<PortalSession> opened(new PortalSession(std::move(connection)));
  opened->remote_ = std::move(remote);
  opened->nodeId_ = stream.node;
  opened->width_ = stream.width;
  opened->height_ = stream.height;
  opened->restoreToken_ = std::move(token);
  return opened;
}

bool screenCastPortalReachable() {
  sd_bus* rawBus = nullptr;
  if (sd_bus_open_user(&rawBus) < 0) return false;
  SdBus bus(rawBus);
  // A portal that is slow to come up is taken as none: start-up waits.
  sd_bus_set_method_call_timeout(bus.get(), kCallTimeoutUsec);
  std::uint32_t types = 0;
  SdBusError error;
  int r = sd_bus_get_property_trivial(bus.get(), kPortal, kPortalPath, kScreenCast,
                                      "AvailableSourceTypes", error.get(), 'u', &types);
  return r >= 0 && types != 0;
}

}  // namespace fenwright::wayland
