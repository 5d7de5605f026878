#pragma once
// Whether the screen is locked, followed while the app runs. Three sources, asked in this order,
// and the first one that answers decides: org.freedesktop.ScreenSaver and GNOME's
// org.gnome.ScreenSaver on the session bus, then logind's LockedHint for this session on the
// system bus. Everything is asynchronous on the main loop; a service that is absent, goes away or
// answers with an error says nothing, and with nothing said the screen is not locked.

#include <functional>
#include <memory>
#include <string>

namespace talvane {

// logind's name for a session id in an object path ("2" is "_32"): letters stay, digits stay
// after the first character, everything else is "_" and two hex digits.
std::string logindPathLabel(const std::string& id);

class ScreenLock {
 public:
  // How long a service may take to answer before it counts as saying nothing.
  static constexpr int kCallTimeoutMs = 5000;

  ScreenLock();
  ~ScreenLock();
  ScreenLock(const ScreenLock&) = delete;
  ScreenLock& operator=(const ScreenLock&) = delete;

  // Connects to the session and system buses (or these addresses, for tests) and asks.
  void start(const std::string& sessionAddress = {}, const std::string& systemAddress = {});

  bool locked() const;
  // Called on the main loop whenever locked() changed.
  std::function<void()> onChange;

 private:
  struct Core;
  std::shared_ptr<Core> core_;
};

}  // namespace talvane
