#include "relay/process_table.h"

namespace talvane {

std::vector<Ancestor> ancestors(const ProcessTable& table, pid_t pid) {
  std::vector<Ancestor> chain;
  chain.reserve(kMaxAncestors);
  while (pid > 1 && chain.size() < kMaxAncestors) {
    std::optional<ProcessInfo> info = table.read(pid);
    if (!info) break;
    chain.push_back({pid, std::move(info->path), std::move(info->tty)});
    pid = info->ppid;
  }
  return chain;
}

}  // namespace talvane
