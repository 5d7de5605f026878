#pragma once
// org.freedesktop.Notifications on the session bus (GNOME, KDE, dunst, mako all serve it).
// Every call is asynchronous; a tag has at most one Notify in flight, and what is asked
// meanwhile waits for its answer, so a flood of changes costs one call per tag at a time. No
// server, or one that goes away, is one log line: the notifications are then dropped.

#include <memory>
#include <string>

#include "platform/notification_server.h"

namespace talvane {

class DesktopNotifications final : public NotificationServer {
 public:
  static constexpr const char* kName = "org.freedesktop.Notifications";
  static constexpr const char* kPath = "/org/freedesktop/Notifications";
  static constexpr const char* kDesktopEntry = "app.talvane.Talvane";

  DesktopNotifications();
  ~DesktopNotifications() override;
  DesktopNotifications(const DesktopNotifications&) = delete;
  DesktopNotifications& operator=(const DesktopNotifications&) = delete;

  // Connects to the session bus (or `busAddress`, for tests) and asks the server what it can do.
  void start(const std::string& busAddress = {});

  bool available() const override;
  NotificationCapabilities capabilities() const override;
  void show(const std::string& tag, const Notice& notice) override;
  void close(const std::string& tag) override;

 private:
  struct Core;
  std::shared_ptr<Core> core_;
};

}  // namespace talvane
