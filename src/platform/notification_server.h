#pragma once
// The desktop's notification server, as the app uses it: one notification per tag (the app's
// own key, a session id), shown, replaced and closed by tag; the server's answers come back by
// tag. Implementations never wait on the server.

#include <cstdint>
#include <functional>
#include <string>
#include <utility>
#include <vector>

namespace talvane {

struct Notice {
  std::string title;
  std::string body;  // already escaped when the server reads markup
  // Action keys and their labels, in order; the key "default" is the click on the notification
  // itself and "inline-reply" a text field where the server offers one.
  std::vector<std::pair<std::string, std::string>> actions;
  std::string category;      // "im.received", ...
  std::uint8_t urgency = 1;  // 0 low, 1 normal; never critical
  std::string soundName;     // empty: no sound hint
  bool suppressSound = false;
  // Seconds until the server takes it away by itself; -1: the server's default, 0: never.
  int expireSeconds = -1;

  bool operator==(const Notice&) const = default;
};

struct NotificationCapabilities {
  bool actions = false;
  bool inlineReply = false;
  bool bodyMarkup = false;
  bool sound = false;

  bool operator==(const NotificationCapabilities&) const = default;
};

class NotificationServer {
 public:
  virtual ~NotificationServer() = default;

  // Whether a server answered and is still there.
  virtual bool available() const = 0;
  virtual NotificationCapabilities capabilities() const = 0;
  // Shows `notice` under `tag`, replacing in place what the tag shows now.
  virtual void show(const std::string& tag, const Notice& notice) = 0;
  // Takes the tag's notification away; nothing when it shows none.
  virtual void close(const std::string& tag) = 0;

  // The user chose an action (its key) on the tag's notification.
  std::function<void(const std::string& tag, const std::string& action)> onAction;
  // The user typed `text` into the tag's inline reply.
  std::function<void(const std::string& tag, const std::string& text)> onReply;
  // The server took the tag's notification away (expired, dismissed, or after an action).
  std::function<void(const std::string& tag)> onClosed;
  // A server appeared or went, or its capabilities changed.
  std::function<void()> onChanged;
};

// Plays a named sound of the freedesktop sound theme ("message-new-instant", "complete").
class SoundPlayer {
 public:
  virtual ~SoundPlayer() = default;
  virtual void play(const std::string& name) = 0;
};

}  // namespace talvane
