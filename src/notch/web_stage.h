#pragma once
// Hosts the panel's page: chooses where it comes from, carries page messages both ways, and
// holds native-to-page messages back until the page says it is ready. The page itself runs in
// a `PageHost`: a web view in a window, or browsers connected to the browser stage.

#include <cstdint>
#include <deque>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "platform/json.h"

namespace talvane {

// What the host should show.
struct PageSource {
  enum class Kind { kUrl, kDirectory, kFallback };
  Kind kind = Kind::kFallback;
  std::string url;        // kUrl: the full address (development server)
  std::string directory;  // kDirectory: the folder holding index.html
  std::string route;      // appended to the start address ("" or "?onboard")
};

class PageHost {
 public:
  virtual ~PageHost() = default;
  // Starts (re)loading the page from `source`.
  virtual void load(const PageSource& source) = 0;
  // Delivers one page message (compact JSON of an object with "type") to every open page.
  virtual void deliver(const std::string& message) = 0;
  // Delivers a "state" message. A host that cannot keep up may skip to the newest one: each state
  // is complete.
  virtual void deliverState(const std::string& message) { deliver(message); }
};

class WebStage {
 public:
  explicit WebStage(std::string route = "");

  void setHost(PageHost* host) { host_ = host; }
  // Receives every message from the page; set by the owner.
  std::function<void(const Json&)> onMessage;

  // Chooses the page's source and tells the host to load it; the stage is not ready until the
  // page sends "ready" again.
  void load();
  // Delivers a message now when ready, else queues it. A payload that is no object is dropped.
  void send(std::string_view type, const Json& payload = Json::object());
  // A message from the page (the host calls this on the main loop).
  void receive(const Json& message);
  // The host lost every page (browser tabs all closed): queue until one is ready again.
  void pageGone() { ready_ = false; }

  bool isReady() const { return ready_; }
  std::size_t queuedCount() const { return queued_.size(); }
  std::size_t queuedBytes() const { return queuedBytes_; }
  const std::string& route() const { return route_; }
  const PageSource& source() const { return source_; }

  // The script a web view evaluates to deliver `message` to the page.
  static std::string script(const std::string& message);
  // Shown when no built page can be found.
  static std::string fallbackPage();
  // Where the page is looked for, in order.
  static std::vector<std::string> candidateDirectories();
  static PageSource chooseSource(const std::string& route);

  // Queued messages beyond these are dropped oldest first: a panel nobody opens (a headless
  // run with no browser connected) must not grow without bound. The newest state is never
  // dropped.
  static constexpr std::size_t kMaxQueued = 4096;
  static constexpr std::size_t kMaxQueuedBytes = 8u << 20;

 private:
  struct Queued {
    std::string text;
    bool state = false;
  };
  void trimQueue();

  std::string route_;
  PageHost* host_ = nullptr;
  bool ready_ = false;
  std::deque<Queued> queued_;
  std::size_t queuedBytes_ = 0;
  // Counts states delivered, so "ready" can tell whether its handler sent a fresh one.
  std::uint64_t statesSent_ = 0;
  PageSource source_;
};

}  // namespace talvane
