#include "support/test_home.h"

#include <glib.h>
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <stdexcept>

namespace talvane::testing {

namespace {
std::string makeTemp() {
  const char* base = std::getenv("TMPDIR");
  std::string pattern = std::string(base && *base ? base : "/tmp") + "/talvane-test-XXXXXX";
  if (!mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
  return pattern;
}
std::string env(const char* name) {
  const char* v = std::getenv(name);
  return v ? v : "";
}
}  // namespace

void removeTree(const std::string& path) {
  std::error_code ec;
  std::filesystem::remove_all(path, ec);
}

TempDir::TempDir() : path_(makeTemp()) {}
TempDir::~TempDir() { removeTree(path_); }

TestHome::TestHome()
    : path_(makeTemp()), oldHome_(env("HOME")), oldConfig_(env("XDG_CONFIG_HOME")) {
  setenv("HOME", path_.c_str(), 1);
  setenv("XDG_CONFIG_HOME", (path_ + "/.config").c_str(), 1);
}

TestHome::~TestHome() {
  setenv("HOME", oldHome_.c_str(), 1);
  setenv("XDG_CONFIG_HOME", oldConfig_.c_str(), 1);
  removeTree(path_);
}

std::string TestHome::write(const std::string& relative, const std::string& content) const {
  std::filesystem::path full = std::filesystem::path(path_) / relative;
  std::filesystem::create_directories(full.parent_path());
  std::ofstream(full, std::ios::binary) << content;
  return full.string();
}

bool runUntil(const std::function<bool()>& done, double seconds) {
  const gint64 end = g_get_monotonic_time() + static_cast<gint64>(seconds * 1e6);
  while (!done()) {
    if (g_get_monotonic_time() > end) return false;
    if (!g_main_context_iteration(nullptr, FALSE)) g_usleep(200);
  }
  return true;
}

void spin(double seconds) {
  const gint64 end = g_get_monotonic_time() + static_cast<gint64>(seconds * 1e6);
  while (g_get_monotonic_time() < end) {
    if (!g_main_context_iteration(nullptr, FALSE)) g_usleep(200);
  }
}

}  // namespace talvane::testing
