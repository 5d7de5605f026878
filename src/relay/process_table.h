#pragma once
// What the relay learns of the processes above it. The kernel is reached through the small
// ProcessTable interface so that host detection can be tried on made-up process trees.

#include <sys/types.h>

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace talvane {

// One process as the kernel describes it.
struct ProcessInfo {
  pid_t ppid = 0;
  std::string path;                // executable path; empty when it cannot be had
  std::optional<std::string> tty;  // controlling terminal, e.g. "/dev/pts/3"
};

class ProcessTable {
 public:
  virtual ~ProcessTable() = default;
  // Absent when the process is gone or cannot be read.
  virtual std::optional<ProcessInfo> read(pid_t pid) const = 0;
};

// The live table under /proc.
class ProcTable final : public ProcessTable {
 public:
  std::optional<ProcessInfo> read(pid_t pid) const override;
};

// One entry of a process's ancestry.
struct Ancestor {
  pid_t pid = 0;
  std::string path;
  std::optional<std::string> tty;
};

inline constexpr std::size_t kMaxAncestors = 24;

// `pid` and the processes above it, nearest first, at most kMaxAncestors entries. Stops before
// process 1 and at the first process that cannot be read.
std::vector<Ancestor> ancestors(const ProcessTable& table, pid_t pid);

// The fields of a /proc/<pid>/stat line that the relay uses.
struct StatFields {
  pid_t ppid = 0;
  unsigned long ttyNr = 0;
};
std::optional<StatFields> parseStat(std::string_view line);

// The device path of a controlling terminal number (tty_nr): "/dev/pts/N" for pseudo-terminals,
// "/dev/ttyN" / "/dev/ttySN" for virtual consoles and serial ports; absent for 0 and for devices
// that cannot be named without a lookup.
std::optional<std::string> ttyPath(unsigned long ttyNr);

}  // namespace talvane
