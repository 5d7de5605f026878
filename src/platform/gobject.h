#pragma once
// RAII over GLib's C resources: one idiom everywhere.

#include <gio/gio.h>
#include <glib-object.h>
#include <glib.h>
#include <unistd.h>

#include <memory>
#include <utility>

namespace talvane {

struct GObjectUnref {
  void operator()(gpointer p) const {
    if (p) g_object_unref(p);
  }
};
template <typename T>
using GObjectPtr = std::unique_ptr<T, GObjectUnref>;

struct GFreeDeleter {
  void operator()(gpointer p) const { g_free(p); }
};
using GCharPtr = std::unique_ptr<gchar, GFreeDeleter>;

struct GErrorFree {
  void operator()(GError* e) const {
    if (e) g_error_free(e);
  }
};
using GErrorPtr = std::unique_ptr<GError, GErrorFree>;

// A GLib registration named by a number (a bus name watch, a source), ended by `Release`.
template <auto Release>
class [[nodiscard]] GIdHandle {
 public:
  GIdHandle() = default;
  explicit GIdHandle(guint id) : id_(id) {}
  GIdHandle(GIdHandle&& o) noexcept : id_(std::exchange(o.id_, 0)) {}
  GIdHandle& operator=(GIdHandle&& o) noexcept {
    if (this != &o) {
      reset();
      id_ = std::exchange(o.id_, 0);
    }
    return *this;
  }
  GIdHandle(const GIdHandle&) = delete;
  GIdHandle& operator=(const GIdHandle&) = delete;
  ~GIdHandle() { reset(); }
  void reset() {
    if (id_) (void)Release(std::exchange(id_, 0));
  }
  explicit operator bool() const { return id_ != 0; }

 private:
  guint id_ = 0;
};
using BusNameWatch = GIdHandle<&g_bus_unwatch_name>;
using SourceId = GIdHandle<&g_source_remove>;

// A move-only file descriptor.
class UniqueFd {
 public:
  UniqueFd() = default;
  explicit UniqueFd(int fd) : fd_(fd) {}
  UniqueFd(UniqueFd&& o) noexcept : fd_(std::exchange(o.fd_, -1)) {}
  UniqueFd& operator=(UniqueFd&& o) noexcept {
    if (this != &o) {
      reset();
      fd_ = std::exchange(o.fd_, -1);
    }
    return *this;
  }
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;
  ~UniqueFd() { reset(); }

  int get() const { return fd_; }
  int release() { return std::exchange(fd_, -1); }
  void reset(int fd = -1) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = fd;
  }
  explicit operator bool() const { return fd_ >= 0; }

 private:
  int fd_ = -1;
};

}  // namespace talvane
