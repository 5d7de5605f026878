#pragma once
// What has the keyboard in the active window of another application, asked of the
// accessibility bus (AT-SPI) without ever blocking the loop: every question is an asynchronous
// D-Bus call, and the whole search answers "unknown" once its time is up. libatspi is not used
// for this: its calls block, and GTK's accessibility bridge in this process uses it on the loop,
// so it cannot move to a thread either.

#include <gio/gio.h>
#include <unistd.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/event_loop.h"
#include "platform/gobject.h"
#include "voice/paste.h"

namespace talvane {

class AccessibleFocus {
 public:
  // Each question to an application waits at most this long; the whole search this long.
  static constexpr int kAskMs = 300;
  static constexpr double kSearchSeconds = 1.2;

  struct Answer {
    Paste::Field field = Paste::Field::unknown;
    Paste::Before before = Paste::Before::unknown;  // what precedes the caret
  };

  struct Options {
    // The accessibility bus; empty: $AT_SPI_BUS_ADDRESS, else the one the session bus names.
    std::string busAddress;
    // Applications of this process id are not asked (the panel itself).
    unsigned self = static_cast<unsigned>(::getpid());
  };

  explicit AccessibleFocus(EventLoop& loop);
  AccessibleFocus(EventLoop& loop, Options options);
  // A search still running never answers.
  ~AccessibleFocus();
  AccessibleFocus(const AccessibleFocus&) = delete;
  AccessibleFocus& operator=(const AccessibleFocus&) = delete;

  // `done` is called once, on the loop, within kSearchSeconds.
  void ask(std::function<void(Answer)> done);

 private:
  struct Search;

  EventLoop& loop_;
  Options options_;
  // The connection outlives one search; a closed one is replaced by the next.
  std::shared_ptr<GObjectPtr<GDBusConnection>> bus_ =
      std::make_shared<GObjectPtr<GDBusConnection>>();
  std::vector<std::weak_ptr<Search>> running_;
};

}  // namespace talvane
