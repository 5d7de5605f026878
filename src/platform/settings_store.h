#pragma once
// The preference store: string keys to JSON values, persisted as one JSON object.
// Controllers below the app layer (the hub keeps "tucked" here) see only this interface.

#include <optional>
#include <string>

#include "platform/json.h"

namespace talvane {

class SettingsStore {
 public:
  virtual ~SettingsStore() = default;
  virtual std::optional<Json> get(const std::string& key) const = 0;
  virtual void set(const std::string& key, const Json& value) = 0;
  virtual void remove(const std::string& key) = 0;
};

// In memory: for tests and for runs that must not persist.
class MemorySettingsStore final : public SettingsStore {
 public:
  std::optional<Json> get(const std::string& key) const override {
    auto it = values_.find(key);
    if (it == values_.end()) return std::nullopt;
    return *it;
  }
  void set(const std::string& key, const Json& value) override { values_[key] = value; }
  void remove(const std::string& key) override { values_.erase(key); }
  const Json& all() const { return values_; }

 private:
  Json values_ = Json::object();
};

}  // namespace talvane
