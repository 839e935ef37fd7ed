#pragma once

#include <functional>
#include <memory>
#include <string_view>

namespace fenwright {

class SharedSurface;
class IpcListener;

// The one call a client can make: "fetchSurfaceWithReply:" of
// "PiPSurfaceProtocol". `reply` is called exactly once, with the surface or
// with nullptr when there is none.
class PiPSurfaceProtocol {
 public:
  virtual ~PiPSurfaceProtocol() = default;
  virtual void fetchSurface(const std::function<void(const SharedSurface*)>& reply) = 0;
};

// One accepted client connection. Handlers run on the listener's own queue.
class IpcConnection {
 public:
  virtual ~IpcConnection() = default;
  virtual int processIdentifier() const = 0;
  virtual void setExportedObject(std::weak_ptr<PiPSurfaceProtocol> object) = 0;
  // The peer closed its end, or the connection failed.
  virtual void setInvalidationHandler(std::function<void()> handler) = 0;
  // Never called on this side of a Unix socket: the peer's end going away
  // is final and invalidates the connection.
  virtual void setInterruptionHandler(std::function<void()> handler) = 0;
  // Starts delivering the client's requests.
  virtual void resume() = 0;
};

class IpcListenerDelegate {
 public:
  virtual ~IpcListenerDelegate() = default;
  virtual bool listenerShouldAcceptNewConnection(IpcListener& listener,
                                                 IpcConnection& connection) = 0;
};

// Listens for clients on the service's Unix socket: the one handed over by
// systemd socket activation when there is one, otherwise
// `$XDG_RUNTIME_DIR/<service name>`, bound here.
class IpcListener {
 public:
  static std::unique_ptr<IpcListener> make(std::string_view machServiceName);

  virtual ~IpcListener() = default;
  virtual void setDelegate(std::weak_ptr<IpcListenerDelegate> delegate) = 0;
  virtual void resume() = 0;
  // Accepts no further connections.
  virtual void invalidate() = 0;
};

}  // namespace fenwright
