#pragma once
// The desktop's notifications and sounds for the Hub's sessions: one notification per session,
// replaced as its state changes and closed once its request is answered anywhere or the session
// goes. A notification's Allow and Deny answer exactly the request it shows, through the Hub,
// as the panel's buttons do. The tray's attention state follows the waiting requests.
//
// Any number of changes within one loop pass is looked at once, and a session's notification
// is replaced at most once per kReplaceGap, so a flood of requests never floods the server.

#include <functional>
#include <limits>
#include <map>
#include <memory>
#include <set>
#include <string>

#include "hub/hub.h"
#include "notch/notification_plan.h"
#include "platform/event_loop.h"
#include "platform/notification_server.h"

namespace talvane {

struct NotifierSettings {
  // The "notifications" setting. Default: requests.
  std::function<NotifyLevel()> level;
  // The "sound" setting. Default: on.
  std::function<bool()> sound;
  // Whether the session's terminal or editor has the keyboard. Default: not known.
  std::function<bool(const Session&)> hostFocused;
  // Opens the panel on the session. Default: nothing.
  std::function<void(const std::string& sessionId)> openPanel;
};

class Notifier {
 public:
  static constexpr double kReplaceGap = 1.0;  // seconds between replacements of one notification
  static constexpr double kSoundGap = 1.0;    // seconds between two sounds

  // `server` and `sound` may be null: no notifications, no sounds.
  Notifier(Hub& hub, EventLoop& loop, NotificationServer* server, SoundPlayer* sound,
           NotifierSettings settings = {});
  ~Notifier();
  Notifier(const Notifier&) = delete;
  Notifier& operator=(const Notifier&) = delete;

  // The Hub, the panel or a setting changed: looked at on the loop's next pass.
  void changed();
  // Brings the notifications up to date now.
  void update();

  // Whether a request waits for an answer.
  bool attention() const { return attention_; }
  std::function<void(bool)> onAttention;

 private:
  NotificationPlan::Input planInput(Date now) const;
  // Shows, replaces, holds back or closes one session's notice as the plan has it.
  void apply(NotificationPlan::Entry& e, Date now);
  struct Shown {
    NotificationPlan::Entry entry;
    Date at = 0;
  };
  struct Wait {
    Date due = 0;
    TimerHandle timer;
  };

  void act(const std::string& session, const std::string& action);
  void replied(const std::string& session, const std::string& text);
  void closedByServer(const std::string& session);
  void close(const std::string& session);
  void updateAttention();

  Hub& hub_;
  EventLoop& loop_;
  NotificationServer* server_;
  SoundPlayer* sound_;
  NotifierSettings settings_;
  const Date since_;
  std::map<std::string, Shown> shown_;
  std::map<std::string, std::string> subjects_;  // the latest subject of each session
  std::map<std::string, std::string> requests_;  // the request each session's entry is about
  std::set<std::string> quiet_;  // sessions whose subject was seen or dismissed: not shown again
  std::map<std::string, Wait> waits_;
  Date lastSound_ = -std::numeric_limits<double>::infinity();
  bool scheduled_ = false;
  bool attention_ = false;
  std::shared_ptr<char> alive_ = std::make_shared<char>();
};

}  // namespace talvane
