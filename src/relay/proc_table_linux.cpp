// The process table read from procfs: /proc/<pid>/stat for the parent and the controlling
// terminal, /proc/<pid>/exe for the executable. Plain system calls: this runs for every hook.
#include <fcntl.h>
#include <limits.h>
#include <stdio.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

#include "relay/process_table.h"

namespace talvane {

namespace {

constexpr std::string_view kDeleted = " (deleted)";

// The numeric field that starts at `pos`, moving `pos` past it and the space after it.
std::optional<long long> field(std::string_view line, std::size_t& pos) {
  if (pos >= line.size()) return std::nullopt;
  std::size_t end = line.find(' ', pos);
  if (end == std::string_view::npos) end = line.size();
  if (end == pos) return std::nullopt;
  long long value = 0;
  bool negative = false;
  std::size_t i = pos;
  if (line[i] == '-') {
    negative = true;
    ++i;
  }
  if (i == end) return std::nullopt;
  for (; i < end; ++i) {
    if (line[i] < '0' || line[i] > '9') return std::nullopt;
    value = value * 10 + (line[i] - '0');
    if (value > (1LL << 40)) return std::nullopt;
  }
  pos = end + 1;
  return negative ? -value : value;
}

void skipField(std::string_view line, std::size_t& pos) {
  if (pos >= line.size()) {
    pos = line.size();
    return;
  }
  std::size_t end = line.find(' ', pos);
  if (end == std::string_view::npos) end = line.size();
  pos = end + 1;
}

std::optional<std::string> readLink(const char* path) {
  char buffer[PATH_MAX];
  ssize_t n = ::readlink(path, buffer, sizeof buffer);
  if (n <= 0 || static_cast<std::size_t>(n) >= sizeof buffer) return std::nullopt;
  return std::string(buffer, static_cast<std::size_t>(n));
}

// Terminals other than pseudo-terminals and consoles, named by the /dev/char links udev keeps.
std::optional<std::string> lookUpTty(unsigned major, unsigned minor) {
  char link[48];
  snprintf(link, sizeof link, "/dev/char/%u:%u", major, minor);
  std::optional<std::string> target = readLink(link);
  if (!target || target->empty()) return std::nullopt;
  std::size_t slash = target->rfind('/');
  std::string name = slash == std::string::npos ? *target : target->substr(slash + 1);
  if (name.empty()) return std::nullopt;
  return "/dev/" + name;
}

unsigned majorOf(unsigned long ttyNr) { return static_cast<unsigned>((ttyNr >> 8) & 0xfff); }
unsigned minorOf(unsigned long ttyNr) {
  return static_cast<unsigned>((ttyNr & 0xff) | ((ttyNr >> 12) & 0xfff00));
}

}  // namespace

std::optional<StatFields> parseStat(std::string_view line) {
  // The command name sits in parentheses and may itself hold spaces and parentheses.
  std::size_t close = line.rfind(')');
  if (close == std::string_view::npos || close + 2 >= line.size()) return std::nullopt;
  std::size_t pos = close + 2;
  skipField(line, pos);  // state
  std::optional<long long> ppid = field(line, pos);
  if (!ppid || *ppid < 0) return std::nullopt;
  skipField(line, pos);  // process group
  skipField(line, pos);  // session
  std::optional<long long> tty = field(line, pos);
  if (!tty) return std::nullopt;
  return StatFields{static_cast<pid_t>(*ppid), static_cast<unsigned long>(*tty) & 0xffffffffUL};
}

std::optional<std::string> ttyPath(unsigned long ttyNr) {
  if (ttyNr == 0) return std::nullopt;
  unsigned major = majorOf(ttyNr);
  unsigned minor = minorOf(ttyNr);
  if (major >= 136 && major <= 143) {
    return "/dev/pts/" + std::to_string((major - 136) * 256 + minor);
  }
  if (major == 4 && minor < 64) return "/dev/tty" + std::to_string(minor);
  if (major == 4 && minor < 256) return "/dev/ttyS" + std::to_string(minor - 64);
  if (major == 5 && minor == 1) return std::string("/dev/console");
  return std::nullopt;
}

std::optional<ProcessInfo> ProcTable::read(pid_t pid) const {
  char path[64];
  snprintf(path, sizeof path, "/proc/%d/stat", static_cast<int>(pid));
  int fd = ::open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return std::nullopt;
  char buffer[1024];
  ssize_t n;
  do {
    n = ::read(fd, buffer, sizeof buffer);
  } while (n < 0 && errno == EINTR);
  ::close(fd);
  if (n <= 0) return std::nullopt;
  std::optional<StatFields> stat = parseStat(std::string_view(buffer, static_cast<std::size_t>(n)));
  if (!stat) return std::nullopt;

  ProcessInfo info;
  info.ppid = stat->ppid;
  snprintf(path, sizeof path, "/proc/%d/exe", static_cast<int>(pid));
  if (std::optional<std::string> exe = readLink(path)) {
    // A binary replaced by an update is still the same program.
    if (exe->size() > kDeleted.size() && exe->ends_with(kDeleted)) {
      exe->resize(exe->size() - kDeleted.size());
    }
    info.path = std::move(*exe);
  }
  info.tty = ttyPath(stat->ttyNr);
  if (!info.tty && stat->ttyNr != 0) {
    info.tty = lookUpTty(majorOf(stat->ttyNr), minorOf(stat->ttyNr));
  }
  return info;
}

}  // namespace talvane
