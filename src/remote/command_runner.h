#pragma once
// Running a program to its end: how every ssh command reaches the remote. Tests replace it.

#include <string>
#include <vector>

namespace talvane::remote {

struct RunResult {
  int status = -1;  // the exit status; -1 when the program could not start or was killed
  std::string out;
  std::string err;
};

class CommandRunner {
 public:
  virtual ~CommandRunner() = default;
  // Runs `argv` with `input` on its standard input and waits for it to end.
  virtual RunResult run(const std::vector<std::string>& argv, const std::string& input = {}) = 0;
};

// Starts the program from PATH; its standard error is captured, never a terminal, and it has no
// controlling terminal to prompt on.
class SpawnRunner final : public CommandRunner {
 public:
  RunResult run(const std::vector<std::string>& argv, const std::string& input = {}) override;
};

}  // namespace talvane::remote
