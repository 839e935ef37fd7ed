#pragma once

#include <dlfcn.h>

namespace fenwright::wayland {

// A library opened by name at run time. It stays mapped after the handle
// is closed (RTLD_NODELETE): threads it started may still be running its
// code while the process exits.
class SharedLibrary {
 public:
  explicit SharedLibrary(const char* soname)
      : handle_(::dlopen(soname, RTLD_NOW | RTLD_LOCAL | RTLD_NODELETE)) {}
  SharedLibrary(const SharedLibrary&) = delete;
  SharedLibrary& operator=(const SharedLibrary&) = delete;
  ~SharedLibrary() {
    if (handle_ != nullptr) ::dlclose(handle_);
  }

  // Null when the library or the symbol is missing.
  void* find(const char* symbol) const {
    return handle_ != nullptr ? ::dlsym(handle_, symbol) : nullptr;
  }

 private:
  void* handle_;
};

}  // namespace fenwright::wayland
