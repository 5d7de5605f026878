#pragma once
// The facts a jump is planned from, read from /proc, PATH and the app's environment at the
// moment of the jump.

#include <optional>
#include <string>
#include <vector>

#include "context/jump_plan.h"

namespace talvane::Jump {

struct Recorded {
  std::string agent;
  std::string root;
  std::optional<int> hostPid;
  std::optional<std::string> hostExe;
  std::optional<std::string> tty;
  std::optional<int> agentPid;
};

Facts observe(const Recorded& session);

// `pid` and its ancestors below process 1, nearest first; empty when `pid` is gone.
std::vector<int> lineage(int pid);

}  // namespace talvane::Jump
