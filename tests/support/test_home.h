#pragma once
// Every test process runs with HOME and XDG_CONFIG_HOME in a fresh temporary folder (see
// main.cpp), so no test can reach a real agent's files. TestHome gives one test its own.

#include <functional>
#include <string>

namespace talvane::testing {

class TestHome {
 public:
  TestHome();
  ~TestHome();
  TestHome(const TestHome&) = delete;
  TestHome& operator=(const TestHome&) = delete;

  const std::string& path() const { return path_; }
  // Writes a file below the home folder, creating folders; returns its full path.
  std::string write(const std::string& relative, const std::string& content) const;

 private:
  std::string path_;
  std::string oldHome_;
  std::string oldConfig_;
};

// A fresh temporary folder, removed with everything in it on destruction.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

void removeTree(const std::string& path);

// Iterates GLib's default main context until `done` holds; false when `seconds` ran out first,
// so a hang fails the test instead of stalling the run.
bool runUntil(const std::function<bool()>& done, double seconds = 10.0);
// Iterates the default main context for the given real time (only to let I/O settle).
void spin(double seconds);

}  // namespace talvane::testing
