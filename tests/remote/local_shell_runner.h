#pragma once
#include <string>
#include <vector>

#include "remote/command_runner.h"

namespace talvane::testing {

// Stands in for ssh: runs the remote command line with /bin/sh here, HOME set to the "remote"
// home; closing the shared connection succeeds. Counts the commands.
class LocalShellRunner final : public remote::CommandRunner {
 public:
  explicit LocalShellRunner(std::string home) : home_(std::move(home)) {}
  remote::RunResult run(const std::vector<std::string>& argv, const std::string& input) override {
    for (const std::string& a : argv)
      if (a == "-O") return {0, "", ""};
    ++commands;
    return real_.run({"env", "HOME=" + home_, "/bin/sh", "-c", argv.back()}, input);
  }
  int commands = 0;

 private:
  std::string home_;
  remote::SpawnRunner real_;
};

}  // namespace talvane::testing
