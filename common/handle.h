// One small owning-handle template for every kind of system handle.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <utility>

template <typename T, auto Close, T Invalid = T{}>
class Handle {
 public:
  Handle() = default;
  explicit Handle(T h) : h_(h) {}
  Handle(const Handle&) = delete;
  Handle& operator=(const Handle&) = delete;
  Handle(Handle&& o) noexcept : h_(std::exchange(o.h_, Invalid)) {}
  Handle& operator=(Handle&& o) noexcept {
    if (this != &o) reset(std::exchange(o.h_, Invalid));
    return *this;
  }
  ~Handle() { reset(); }

  T get() const { return h_; }
  T* put() {
    reset();
    return &h_;
  }
  T release() { return std::exchange(h_, Invalid); }
  void reset(T h = Invalid) {
    if (h_ != Invalid) Close(h_);
    h_ = h;
  }
  explicit operator bool() const { return h_ != Invalid; }

 private:
  T h_ = Invalid;
};

namespace handle_close {
inline void Stream(FILE* f) {
  fclose(f);
}
inline void Memory(char* p) {
  free(p);
}
}  // namespace handle_close

// An open stdio stream, closed at the end of its scope.
using FileHandle = Handle<FILE*, handle_close::Stream>;
// A text from malloc (xstrdup, xsprintf, ExpandVariables), freed at the end of its scope.
using TextHandle = Handle<char*, handle_close::Memory>;

#ifdef _WIN32
#include <windows.h>
// A loaded library, freed at the end of its scope.
using Library = Handle<HMODULE, FreeLibrary>;
#endif
