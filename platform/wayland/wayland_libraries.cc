// The PipeWire and sd-bus functions the Wayland backend calls, each passed
// on to the library opened at its first use. Linking the libraries instead
// made every start, X11 ones included, load them and the eight more they
// need: a few milliseconds before the helper could listen. A missing
// library or symbol answers as a failed call (-ENOSYS or null), so the
// backend reports it where it happens.
#include <pipewire/pipewire.h>
#include <systemd/sd-bus.h>

#include <cerrno>
#include <cstdarg>
#include <type_traits>

#include "platform/wayland/shared_library.h"

namespace fenwright::wayland {
namespace {

const SharedLibrary& pipewire() {
  static const SharedLibrary library("libpipewire-0.3.so.0");
  return library;
}

const SharedLibrary& systemd() {
  static const SharedLibrary library("libsystemd.so.0");
  return library;
}

template <class R>
R unavailable() {
  if constexpr (std::is_pointer_v<R>)
    return nullptr;
  else if constexpr (!std::is_void_v<R>)
    return static_cast<R>(-ENOSYS);
}

template <class F>
F* resolve(const SharedLibrary& library, const char* name) {
  return reinterpret_cast<F*>(library.find(name));
}

}  // namespace
}  // namespace fenwright::wayland

#define FENWRIGHT_FORWARD(library, R, name, params, args)                               \
  extern "C" R name params {                                                            \
    using namespace fenwright::wayland;                                                 \
    static auto* const real = resolve<std::remove_pointer_t<decltype(&name)>>(library(), #name); \
    if (real == nullptr) return unavailable<R>();                                       \
    return real args;                                                                   \
  }

FENWRIGHT_FORWARD(pipewire, void, pw_init, (int* argc, char** argv[]), (argc, argv))
FENWRIGHT_FORWARD(pipewire, pw_loop*, pw_loop_new, (const spa_dict* props), (props))
FENWRIGHT_FORWARD(pipewire, void, pw_loop_destroy, (pw_loop * loop), (loop))
FENWRIGHT_FORWARD(pipewire, pw_context*, pw_context_new,
                  (pw_loop * loop, pw_properties* props, size_t size), (loop, props, size))
FENWRIGHT_FORWARD(pipewire, void, pw_context_destroy, (pw_context * context), (context))
FENWRIGHT_FORWARD(pipewire, pw_core*, pw_context_connect_fd,
                  (pw_context * context, int fd, pw_properties* props, size_t size),
                  (context, fd, props, size))
FENWRIGHT_FORWARD(pipewire, int, pw_core_disconnect, (pw_core * core), (core))
FENWRIGHT_FORWARD(pipewire, int, pw_properties_set,
                  (pw_properties * properties, const char* key, const char* value),
                  (properties, key, value))
FENWRIGHT_FORWARD(pipewire, pw_stream*, pw_stream_new,
                  (pw_core * core, const char* name, pw_properties* props), (core, name, props))
FENWRIGHT_FORWARD(pipewire, void, pw_stream_add_listener,
                  (pw_stream * stream, spa_hook* listener, const pw_stream_events* events,
                   void* data),
                  (stream, listener, events, data))
FENWRIGHT_FORWARD(pipewire, int, pw_stream_connect,
                  (pw_stream * stream, enum pw_direction direction, uint32_t target,
                   enum pw_stream_flags flags, const spa_pod** params, uint32_t count),
                  (stream, direction, target, flags, params, count))
FENWRIGHT_FORWARD(pipewire, int, pw_stream_update_params,
                  (pw_stream * stream, const spa_pod** params, uint32_t count),
                  (stream, params, count))
FENWRIGHT_FORWARD(pipewire, pw_buffer*, pw_stream_dequeue_buffer, (pw_stream * stream), (stream))
FENWRIGHT_FORWARD(pipewire, int, pw_stream_queue_buffer, (pw_stream * stream, pw_buffer* buffer),
                  (stream, buffer))
FENWRIGHT_FORWARD(pipewire, void, pw_stream_destroy, (pw_stream * stream), (stream))

FENWRIGHT_FORWARD(systemd, int, sd_bus_open_user, (sd_bus * *bus), (bus))
FENWRIGHT_FORWARD(systemd, sd_bus*, sd_bus_flush_close_unref, (sd_bus * bus), (bus))
FENWRIGHT_FORWARD(systemd, int, sd_bus_get_fd, (sd_bus * bus), (bus))
FENWRIGHT_FORWARD(systemd, int, sd_bus_get_unique_name, (sd_bus * bus, const char** unique),
                  (bus, unique))
FENWRIGHT_FORWARD(systemd, int, sd_bus_set_method_call_timeout, (sd_bus * bus, uint64_t usec),
                  (bus, usec))
FENWRIGHT_FORWARD(systemd, int, sd_bus_process, (sd_bus * bus, sd_bus_message** message),
                  (bus, message))
FENWRIGHT_FORWARD(systemd, int, sd_bus_wait, (sd_bus * bus, uint64_t usec), (bus, usec))
FENWRIGHT_FORWARD(systemd, int, sd_bus_call,
                  (sd_bus * bus, sd_bus_message* message, uint64_t usec, sd_bus_error* error,
                   sd_bus_message** reply),
                  (bus, message, usec, error, reply))
FENWRIGHT_FORWARD(systemd, int, sd_bus_get_property_trivial,
                  (sd_bus * bus, const char* destination, const char* path,
                   const char* interface, const char* member, sd_bus_error* error, char type,
                   void* value),
                  (bus, destination, path, interface, member, error, type, value))
FENWRIGHT_FORWARD(systemd, int, sd_bus_match_signal,
                  (sd_bus * bus, sd_bus_slot** slot, const char* sender, const char* path,
                   const char* interface, const char* member, sd_bus_message_handler_t callback,
                   void* userdata),
                  (bus, slot, sender, path, interface, member, callback, userdata))
FENWRIGHT_FORWARD(systemd, sd_bus_slot*, sd_bus_slot_unref, (sd_bus_slot * slot), (slot))
FENWRIGHT_FORWARD(systemd, void, sd_bus_error_free, (sd_bus_error * error), (error))
FENWRIGHT_FORWARD(systemd, int, sd_bus_message_new_method_call,
                  (sd_bus * bus, sd_bus_message** message, const char* destination,
                   const char* path, const char* interface, const char* member),
                  (bus, message, destination, path, interface, member))
FENWRIGHT_FORWARD(systemd, sd_bus_message*, sd_bus_message_ref, (sd_bus_message * message),
                  (message))
FENWRIGHT_FORWARD(systemd, sd_bus_message*, sd_bus_message_unref, (sd_bus_message * message),
                  (message))
FENWRIGHT_FORWARD(systemd, int, sd_bus_message_open_container,
                  (sd_bus_message * message, char type, const char* contents),
                  (message, type, contents))
FENWRIGHT_FORWARD(systemd, int, sd_bus_message_close_container, (sd_bus_message * message),
                  (message))
FENWRIGHT_FORWARD(systemd, int, sd_bus_message_enter_container,
                  (sd_bus_message * message, char type, const char* contents),
                  (message, type, contents))
FENWRIGHT_FORWARD(systemd, int, sd_bus_message_exit_container, (sd_bus_message * message),
                  (message))
FENWRIGHT_FORWARD(systemd, int, sd_bus_message_peek_type,
                  (sd_bus_message * message, char* type, const char** contents),
                  (message, type, contents))
FENWRIGHT_FORWARD(systemd, int, sd_bus_message_skip, (sd_bus_message * message, const char* types),
                  (message, types))
FENWRIGHT_FORWARD(systemd, int, sd_bus_call_methodv,
                  (sd_bus * bus, const char* destination, const char* path,
                   const char* interface, const char* member, sd_bus_error* error,
                   sd_bus_message** reply, const char* types, va_list list),
                  (bus, destination, path, interface, member, error, reply, types, list))
FENWRIGHT_FORWARD(systemd, int, sd_bus_message_appendv,
                  (sd_bus_message * message, const char* types, va_list list),
                  (message, types, list))
FENWRIGHT_FORWARD(systemd, int, sd_bus_message_readv,
                  (sd_bus_message * message, const char* types, va_list list),
                  (message, types, list))

// The variadic ones, through their va_list forms.
extern "C" int sd_bus_call_method(sd_bus* bus, const char* destination, const char* path,
                                  const char* interface, const char* member, sd_bus_error* error,
                                  sd_bus_message** reply, const char* types, ...) {
  va_list list;
  va_start(list, types);
  const int result =
      sd_bus_call_methodv(bus, destination, path, interface, member, error, reply, types, list);
  va_end(list);
  return result;
}

extern "C" int sd_bus_message_append(sd_bus_message* message, const char* types, ...) {
  va_list list;
  va_start(list, types);
  const int result = sd_bus_message_appendv(message, types, list);
  va_end(list);
  return result;
}

extern "C" int sd_bus_message_read(sd_bus_message* message, const char* types, ...) {
  va_list list;
  va_start(list, types);
  const int result = sd_bus_message_readv(message, types, list);
  va_end(list);
  return result;
}

// Key and value pairs up to a null key, set one by one on an empty set.
extern "C" pw_properties* pw_properties_new(const char* key, ...) {
  using namespace fenwright::wayland;
  static auto* const real = resolve<pw_properties*(const char*, ...)>(pipewire(), "pw_properties_new");
  if (real == nullptr) return nullptr;
  pw_properties* properties = real(nullptr, nullptr);
  if (properties == nullptr) return nullptr;
  va_list list;
  va_start(list, key);
  for (const char* name = key; name != nullptr; name = va_arg(list, const char*))
    pw_properties_set(properties, name, va_arg(list, const char*));
  va_end(list);
  return properties;
}
