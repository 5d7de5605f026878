#include "platform/json_settings_store.h"

#include <fcntl.h>
#include <stdio.h>

#include <cerrno>
#include <cstring>
#include <utility>

#include "platform/files.h"
#include "platform/log.h"

namespace talvane {

namespace {

bool blank(std::string_view text) {
  return text.find_first_not_of(" \t\r\n") == std::string_view::npos;
}

// Renames without replacing an existing file; falls back to a check first on file systems
// that cannot do it in one step.
bool renameNoReplace(const std::string& from, const std::string& to) {
  if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) return true;
  if (errno != EINVAL && errno != ENOSYS) return false;
  if (files::exists(to)) {
    errno = EEXIST;
    return false;
  }
  return ::rename(from.c_str(), to.c_str()) == 0;
}

// Moves a file aside as "<path>.corrupt", or ".corrupt.1", ".corrupt.2"... when earlier copies
// are there, so no earlier copy is lost either. Empty when it could not be moved.
std::string keepAside(const std::string& path) {
  for (int n = 0; n < 1000; ++n) {
    std::string target = path + ".corrupt" + (n ? "." + std::to_string(n) : "");
    if (renameNoReplace(path, target)) return target;
    if (errno != EEXIST && errno != ENOTEMPTY) return {};
  }
  return {};
}

}  // namespace

std::string JsonSettingsStore::defaultPath() {
  return files::configHome() + "/talvane/settings.json";
}

JsonSettingsStore& JsonSettingsStore::user() {
  static JsonSettingsStore store;
  return store;
}

JsonSettingsStore::JsonSettingsStore(std::string path) : path_(std::move(path)) { load(); }

JsonSettingsStore::~JsonSettingsStore() { flush(); }

void JsonSettingsStore::load() {
  auto text = files::read(path_);
  if (!text) {
    if (files::exists(path_)) {
      writable_ = false;
      log::line("Talvane: cannot read " + path_ + "; settings changes will not be saved");
    }
    return;
  }
  if (blank(*text)) return;
  if (auto object = json::parseObject(*text)) {
    values_ = std::move(*object);
    return;
  }
  setAside_ = keepAside(path_);
  if (setAside_.empty()) {
    writable_ = false;
    log::line("Talvane: " + path_ + " is not valid settings and cannot be moved aside (" +
              std::strerror(errno) + "); settings changes will not be saved");
  } else {
    log::line("Talvane: " + path_ + " was not valid settings; kept as " + setAside_);
  }
}

std::optional<Json> JsonSettingsStore::get(const std::string& key) const {
  auto it = values_.find(key);
  if (it == values_.end()) return std::nullopt;
  return *it;
}

void JsonSettingsStore::set(const std::string& key, const Json& value) {
  auto it = values_.find(key);
  if (it != values_.end() && *it == value && !dirty_) return;
  values_[key] = value;
  changed();
}

void JsonSettingsStore::remove(const std::string& key) {
  if (values_.erase(key) == 0 && !dirty_) return;
  changed();
}

void JsonSettingsStore::changed() {
  dirty_ = true;
  if (!loop_) {
    flush();
    return;
  }
  if (flushPosted_) return;
  flushPosted_ = true;
  loop_->post([this, weak = std::weak_ptr<char>(alive_)] {
    if (!weak.lock()) return;
    flushPosted_ = false;
    flush();
  });
}

bool JsonSettingsStore::flush() {
  if (!dirty_) return true;
  if (!writable_) return false;
  ++writes_;
  if (auto error = files::writeAtomic(path_, json::pretty(values_) + "\n", 0600)) {
    if (!warned_) log::line("Talvane: cannot save settings: " + *error);
    warned_ = true;
    return false;
  }
  dirty_ = false;
  warned_ = false;
  return true;
}

}  // namespace talvane
