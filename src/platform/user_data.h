#pragma once
// A C++ value handed to a GLib C callback as its user data, most often a shared_ptr that keeps
// the callback's object alive until GLib is done with it. One idiom instead of a hand-written
// new and delete at every call.

#include <glib.h>

#include <memory>
#include <utility>

namespace talvane {

template <typename T>
struct UserData {
  // A heap copy of `value` as user data, ended by `release` or taken back by `take`.
  [[nodiscard]] static gpointer hold(T value) { return new T(std::move(value)); }

  // The destroy notify of a callback GLib may call more than once (a source, a watch); also
  // ends data whose one-shot call never started.
  static void release(gpointer data) noexcept { delete static_cast<T*>(data); }

  // The value, in a callback whose data ends through `release`. Copy a shared_ptr out when the
  // callback may remove its own source.
  static T& get(gpointer data) { return *static_cast<T*>(data); }

  // The value back, first thing in a callback GLib calls once without a destroy notify (a
  // GAsyncReadyCallback).
  static T take(gpointer data) {
    const std::unique_ptr<T> held(static_cast<T*>(data));
    return std::move(*held);
  }
};

// A reference to a shared object as user data: UserData<std::shared_ptr<X>>.
template <typename X>
using Holding = UserData<std::shared_ptr<X>>;

}  // namespace talvane
