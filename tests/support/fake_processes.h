#pragma once
// Programs that run until the test ends them, standing in for ssh and the talvane command.

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "remote/processes.h"

namespace talvane::testing {

// Programs that run until the test ends them.
class FakeProcesses final : public remote::Processes {
 public:
  struct Started {
    std::vector<std::string> argv;
    Watch watch;
    bool alive = true;
  };
  std::vector<std::shared_ptr<Started>> started;

  std::unique_ptr<Running> start(const std::vector<std::string>& argv, Watch watch) override {
    started.push_back(std::make_shared<Started>(Started{argv, std::move(watch)}));
    return std::make_unique<Handle>(started.back());
  }

  Started& last() { return *started.back(); }
  bool lastIsForward() const {
    const auto& a = started.back()->argv;
    return std::find(a.begin(), a.end(), "-N") != a.end();
  }
  void say(const std::string& line) { last().watch.line(line); }
  void exit(int status, const std::vector<std::string>& lines = {}) {
    Started& s = last();
    ASSERT_TRUE(s.alive);
    for (const auto& l : lines) s.watch.line(l);
    s.alive = false;
    auto exited = s.watch.exited;
    exited(status);
  }

 private:
  struct Handle final : Running {
    explicit Handle(std::shared_ptr<Started> s) : s(std::move(s)) {}
    ~Handle() override { s->alive = false; }
    std::shared_ptr<Started> s;
  };
};

}  // namespace talvane::testing
