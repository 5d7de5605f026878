#pragma once
// What the desktop's notifications should say, decided from the sessions alone: one entry per
// session that has something to tell, with its text, actions, hints and the sound it is worth.
// Pure: the Notifier compares this with what is shown and asks the server for the difference.

#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "hub/session.h"
#include "platform/notification_server.h"

namespace talvane {

// The "notifications" setting.
enum class NotifyLevel { off, requests, everything };
std::optional<NotifyLevel> notifyLevelFrom(std::string_view name);
std::string_view notifyLevelName(NotifyLevel level);

namespace NotificationPlan {

// Sound theme names.
inline constexpr const char* kRequestSound = "message-new-instant";
inline constexpr const char* kDoneSound = "complete";

// Action keys. The answering ones carry the request's id after the colon, so that a click on a
// notification whose request has been replaced answers nothing.
inline constexpr const char* kOpen = "default";
inline constexpr const char* kInlineReply = "inline-reply";
inline constexpr std::string_view kAllow = "allow:";
inline constexpr std::string_view kDeny = "deny:";
inline constexpr std::string_view kAnswer = "answer:";
inline constexpr std::string_view kReply = "reply:";

struct Input {
  const std::vector<Session>* sessions = nullptr;
  struct News {
    std::string id;
    std::string kind;  // "merged" or "failing"
  };
  std::optional<News> prNews;
  Date now = 0;
  // Turns that finished before this (sessions restored at start) are old news.
  Date since = 0;
  NotifyLevel level = NotifyLevel::requests;
  bool sound = true;
  NotificationCapabilities caps;
  // The session the open panel shows; none while it is closed.
  std::optional<std::string> panelOn;
  // Whether the session's own terminal or editor has the keyboard; unset: not known.
  std::function<bool(const Session&)> hostFocused;
};

struct Entry {
  std::string session;
  // What the notification is about: the request's id, or "done:<time>" (a finished turn, with
  // or without its reply offer) and "pr:<kind>". A new subject is new news: a sound, and a
  // notification even after the last was dismissed.
  std::string subject;
  std::string pendingId;  // empty for news without a request
  // The user already sees it (the panel or the session's terminal): nothing is shown or played.
  bool looking = false;
  // Shown as a notification (false when the level leaves it out, or the user is looking).
  bool show = false;
  Notice notice;
  // Played by the app when the subject is new, the user is not looking and the sound setting
  // is on; empty when the server plays it through the notice's hint instead.
  std::string sound;
};

std::vector<Entry> plan(const Input& input);

// Whether any session waits for an answer (the tray's attention state). Reply offers do not:
// they pass by themselves.
bool attention(const std::vector<Session>& sessions);

// "<project> · <agent>" as a notification's title.
std::string title(const Session& s);
// `text` for a server that reads markup in the body: &, < and > escaped.
std::string escapeMarkup(std::string_view text);

}  // namespace NotificationPlan
}  // namespace talvane
