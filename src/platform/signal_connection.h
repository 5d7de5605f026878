#pragma once
// GObject signal connections with one owner, beside GObjectPtr and TimerHandle: a connection
// ends when its handle goes, and a C++ callable connected through here never lets an
// exception reach GLib's C code.

#include <glib-object.h>

#include <exception>
#include <functional>
#include <string>
#include <type_traits>
#include <utility>

#include "platform/log.h"

namespace talvane {

// Disconnects on destruction, unless the instance is already gone (it is watched weakly, so an
// instance finalized first is never touched).
class [[nodiscard]] SignalConnection {
 public:
  SignalConnection() = default;
  SignalConnection(gpointer instance, gulong id) : id_(id) {
    g_weak_ref_init(&instance_, instance);
  }
  SignalConnection(SignalConnection&& other) noexcept : id_(std::exchange(other.id_, 0)) {
    g_weak_ref_init(&instance_, nullptr);
    if (id_) {
      gpointer instance = g_weak_ref_get(&other.instance_);
      g_weak_ref_set(&instance_, instance);
      if (instance) g_object_unref(instance);
    }
  }
  SignalConnection& operator=(SignalConnection&& other) noexcept {
    if (this != &other) {
      disconnect();
      id_ = std::exchange(other.id_, 0);
      gpointer instance = g_weak_ref_get(&other.instance_);
      g_weak_ref_set(&instance_, instance);
      if (instance) g_object_unref(instance);
    }
    return *this;
  }
  SignalConnection(const SignalConnection&) = delete;
  SignalConnection& operator=(const SignalConnection&) = delete;
  ~SignalConnection() {
    disconnect();
    g_weak_ref_clear(&instance_);
  }

  void disconnect() {
    if (!id_) return;
    if (gpointer instance = g_weak_ref_get(&instance_)) {
      if (g_signal_handler_is_connected(instance, id_)) g_signal_handler_disconnect(instance, id_);
      g_object_unref(instance);
    }
    id_ = 0;
    g_weak_ref_set(&instance_, nullptr);
  }
  // The connection then lasts as long as its instance (a menu item's handler, say).
  void detach() {
    id_ = 0;
    g_weak_ref_set(&instance_, nullptr);
  }
  bool connected() const { return id_ != 0; }

 private:
  GWeakRef instance_{};
  gulong id_ = 0;
};

namespace signal_detail {

template <typename R>
R failed(const char* signal) {
  try {
    throw;
  } catch (const std::exception& e) {
    log::line(std::string("Talvane: handler of ") + signal + " failed: " + e.what());
  } catch (...) {
    log::line(std::string("Talvane: handler of ") + signal + " failed");
  }
  if constexpr (!std::is_void_v<R>) return R{};
}

}  // namespace signal_detail

// Connects `fn` to `signal` of `instance` for as long as the returned handle lives. `Signature`
// is the C handler's without its final user data, instance first:
// connectSignal<void(GtkMenuItem*)>(item, "activate", ...), or
// connectSignal<gboolean(GtkWidget*, GdkEvent*)>(widget, "delete-event", ...).
template <typename Signature>
struct SignalOf;
template <typename R, typename... Args>
struct SignalOf<R(Args...)> {
  template <typename F>
  static SignalConnection connect(gpointer instance, const char* signal, F fn,
                                  GConnectFlags flags = G_CONNECT_DEFAULT) {
    struct Slot {
      std::function<R(Args...)> fn;
      const char* signal;
    };
    auto* slot = new Slot{std::move(fn), signal};
    const gulong id = g_signal_connect_data(
        instance, signal, G_CALLBACK(+[](Args... args, gpointer data) -> R {
          auto* s = static_cast<Slot*>(data);
          try {
            return s->fn(args...);
          } catch (...) {
            return signal_detail::failed<R>(s->signal);
          }
        }),
        slot, +[](gpointer data, GClosure*) { delete static_cast<Slot*>(data); }, flags);
    return SignalConnection(instance, id);
  }
};

// Runs `fn` inside a raw C callback (one not connected through connectSignal): an exception is
// logged under `what` and the callback returns R{}.
template <typename R = void, typename F>
R guardCallback(const char* what, F&& fn) {
  try {
    return fn();
  } catch (...) {
    return signal_detail::failed<R>(what);
  }
}

template <typename Signature, typename F>
SignalConnection connectSignal(gpointer instance, const char* signal, F fn,
                               GConnectFlags flags = G_CONNECT_DEFAULT) {
  return SignalOf<Signature>::connect(instance, signal, std::move(fn), flags);
}

}  // namespace talvane
