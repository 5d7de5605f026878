#pragma once
// A session bus of the test's own: a dbus-daemon that activates nothing, so no service
// installed on the machine (a notification daemon, a portal) can answer in place of a stand-in.

#include <gio/gio.h>

#include <functional>
#include <string>

#include "platform/gobject.h"
#include "support/test_home.h"

namespace talvane::testing {

class PrivateBus {
 public:
  PrivateBus();
  ~PrivateBus();
  PrivateBus(const PrivateBus&) = delete;
  PrivateBus& operator=(const PrivateBus&) = delete;

  // Empty when dbus-daemon is not installed or did not start; `why` says why.
  const std::string& address() const { return address_; }
  const std::string& why() const { return why_; }
  // A new connection to the bus, registered with it.
  GObjectPtr<GDBusConnection> connect() const;

 private:
  TempDir dir_;
  GObjectPtr<GSubprocess> daemon_;
  std::string address_;
  std::string why_;
};

// Serves the default main context until `done` holds, for at most `seconds`.
bool spinUntil(const std::function<bool()>& done, double seconds = 20);

}  // namespace talvane::testing
