#pragma once
// The user's settings as one JSON object in $XDG_CONFIG_HOME/talvane/settings.json.
// Every change is written at once, atomically, or, once batchOn() names a loop, in one write on
// the loop's next pass however many changes came first (each write syncs the disk twice). A
// write that failed is retried by the next change or by flush(), and the destructor flushes. A file
// that is not a JSON object reads as empty and is moved aside to "settings.json.corrupt" first, so
// a later write never destroys it.

#include <memory>
#include <string>

#include "platform/event_loop.h"
#include "platform/settings_store.h"

namespace talvane {

class JsonSettingsStore final : public SettingsStore {
 public:
  // configHome() + "/talvane/settings.json", as the environment says now.
  static std::string defaultPath();
  // The process's one store over the user's file, created on first use. Everything that keeps
  // settings in this process should share it, so that no writer overwrites another's changes.
  static JsonSettingsStore& user();

  explicit JsonSettingsStore(std::string path = defaultPath());
  ~JsonSettingsStore() override;
  JsonSettingsStore(const JsonSettingsStore&) = delete;
  JsonSettingsStore& operator=(const JsonSettingsStore&) = delete;

  std::optional<Json> get(const std::string& key) const override;
  void set(const std::string& key, const Json& value) override;
  void remove(const std::string& key) override;

  // Writes what is not saved yet; true when the file holds every change.
  bool flush();
  // From now on changes are written together on a later pass of `loop` (nullptr: at once).
  // The loop must outlive the batching, or batching must be turned off first.
  void batchOn(EventLoop* loop) { loop_ = loop; }
  // How many times the file was written (for tests and benchmarks).
  std::size_t writes() const { return writes_; }

  const std::string& path() const { return path_; }
  // Where a corrupt file was moved at load, or empty.
  const std::string& setAside() const { return setAside_; }
  // False when the file could not be read or moved aside: changes then stay in memory only,
  // so the file the user may still want is never replaced.
  bool writable() const { return writable_; }

 private:
  void load();
  void changed();

  std::string path_;
  std::string setAside_;
  Json values_ = Json::object();
  bool dirty_ = false;
  bool writable_ = true;
  bool warned_ = false;
  EventLoop* loop_ = nullptr;
  bool flushPosted_ = false;
  std::size_t writes_ = 0;
  std::shared_ptr<char> alive_ = std::make_shared<char>();
};

}  // namespace talvane
