#include "remote/remote_file_system.h"

#include <glib.h>

#include <cstdio>
#include <utility>

#include "integrations/config_file.h"
#include "platform/gobject.h"

namespace talvane::remote {

namespace {

// The system's reason at the end of a tool's message ("cat: /x: Permission denied").
std::string reasonIn(const RunResult& result) {
  const std::string line = lastLine(result.err);
  const auto colon = line.rfind(": ");
  if (colon != std::string::npos) return line.substr(colon + 2);
  return line.empty() ? "failed (status " + std::to_string(result.status) + ")" : line;
}

std::string digestOf(std::string_view data) {
  const GCharPtr digest(g_compute_checksum_for_data(
      G_CHECKSUM_SHA256, reinterpret_cast<const guchar*>(data.data()), data.size()));
  return digest ? digest.get() : "";
}

std::string octal(unsigned mode) {
  char text[8];
  std::snprintf(text, sizeof text, "%o", mode & 07777);
  return text;
}

// Splits off the text up to the next line feed.
std::string nextLine(std::string_view& rest) {
  const auto newline = rest.find('\n');
  std::string line(rest.substr(0, newline));
  rest = newline == std::string_view::npos ? std::string_view() : rest.substr(newline + 1);
  return line;
}

// One look at a path, as a shell function: "<flags> <mode>", the resolved target, stat's
// complaint about a link's target, then the link's text (last: it may hold anything but NUL),
// ending in a NUL.
constexpr const char* kFactsFunction =
    "facts() { p=$1; f=; m=0; r=; e=; t=\n"
    "if [ -L \"$p\" ]; then f=l; t=$(readlink -- \"$p\"; echo .); t=${t%?}; t=${t%?}; fi\n"
    "if [ -e \"$p\" ]; then f=${f}e; m=$(stat -L -c %a -- \"$p\")\n"
    "  if [ -d \"$p\" ]; then f=${f}d; elif [ -x \"$p\" ]; then f=${f}x; fi\n"
    "  [ -w \"$p\" ] && f=${f}w\n"
    "  [ -L \"$p\" ] && r=$(realpath -- \"$p\")\n"
    "elif [ -L \"$p\" ]; then e=$(stat -L -- \"$p\" 2>&1 >/dev/null)\n"
    "fi\n"
    "printf '%s %s\\n%s\\n%s\\n%s\\000' \"$f\" \"$m\" \"$r\" \"$e\" \"$t\"; }\n";

// Whether "$d$1" is an executable file for some directory d of PATH.
constexpr const char* kOnPathFunction =
    "onpath() { ( set -f; IFS=:; for d in $PATH; do [ -n \"$d\" ] && [ ! -d \"$d$1\" ] &&"
    " [ -x \"$d$1\" ] && exit 0; done; exit 1 ); }\n";

FileFacts factsFrom(std::string_view record) {
  FileFacts facts;
  std::string_view rest = record;
  const std::string head = nextLine(rest);
  const auto space = head.find(' ');
  const std::string flags = head.substr(0, space);
  facts.link = flags.find('l') != std::string::npos;
  facts.exists = flags.find('e') != std::string::npos;
  facts.directory = flags.find('d') != std::string::npos;
  facts.executable = flags.find('x') != std::string::npos;
  facts.writable = flags.find('w') != std::string::npos;
  if (space != std::string::npos)
    facts.mode = static_cast<unsigned>(std::strtoul(head.c_str() + space + 1, nullptr, 8));
  facts.resolved = nextLine(rest);
  const std::string complaint = nextLine(rest);
  facts.linkText = std::string(rest);
  if (facts.link && !facts.exists && !complaint.empty() &&
      complaint.find("No such file or directory") == std::string::npos) {
    const auto colon = complaint.rfind(": ");
    facts.linkError = colon == std::string::npos ? complaint : complaint.substr(colon + 2);
  }
  return facts;
}

}  // namespace

RemoteFileSystem::RemoteFileSystem(SshSession& session, std::string home, std::string configHome)
    : session_(session), home_(std::move(home)), configHome_(std::move(configHome)) {}

RunResult RemoteFileSystem::run(const std::string& command, const std::string& input) const {
  RunResult result = session_.run(command, input);
  if (sshFailed(result))
    throw IntegrationError(
        IntegrationError::unreadable,
        "lost the connection to " + session_.destination().text() + ": " + lastLine(result.err));
  return result;
}

FileFacts RemoteFileSystem::facts(const std::string& path) const {
  if (auto known = facts_.find(path); known != facts_.end()) return known->second;
  const RunResult result = run(std::string(kFactsFunction) + "facts " + shellQuote(path));
  const auto end = result.out.find('\0');
  FileFacts facts = factsFrom(std::string_view(result.out).substr(0, end));
  facts_[path] = facts;
  return facts;
}

void RemoteFileSystem::lookAhead(const std::vector<std::string>& paths,
                                 const std::vector<std::string>& executables) const {
  std::string command(kFactsFunction);
  command += kOnPathFunction;
  for (const std::string& path : paths) command += "facts " + shellQuote(path) + "\n";
  for (const std::string& name : executables)
    command +=
        "if onpath " + shellQuote("/" + name) + "; then printf 1\\000; else printf 0\\000; fi\n";
  const RunResult result = run(command);
  std::string_view rest = result.out;
  auto next = [&] {
    const auto end = rest.find('\0');
    std::string_view record = rest.substr(0, end);
    rest = end == std::string_view::npos ? std::string_view() : rest.substr(end + 1);
    return record;
  };
  for (const std::string& path : paths) facts_[path] = factsFrom(next());
  for (const std::string& name : executables) onPath_[name] = next() == "1";
}

void RemoteFileSystem::changed() const {
  facts_.clear();
  reads_.clear();
}

std::optional<std::string> RemoteFileSystem::read(const std::string& path, std::string* why) const {
  // Only regular files, as locally: a FIFO there would hold the command forever.
  const RunResult result =
      run("p=" + shellQuote(path) +
          "; if [ -e \"$p\" ] && [ ! -f \"$p\" ] && [ ! -d \"$p\" ]; then"
          " echo \"$p: Invalid argument\" >&2; exit 1; fi; exec cat -- \"$p\"");
  if (result.status == 0) return reads_[path] = result.out;
  if (why) *why = reasonIn(result);
  return std::nullopt;
}

bool RemoteFileSystem::holds(const std::string& path, std::string_view data) const {
  // The relay is megabytes: compare digests, not the bytes.
  const std::string expected = digestOf(data);
  if (auto known = digests_.find(path); known != digests_.end()) return known->second == expected;
  const RunResult result =
      run("p=" + shellQuote(path) + "; [ -f \"$p\" ] && sha256sum < \"$p\" 2>/dev/null");
  if (result.status != 0) return false;
  digests_[path] = result.out.substr(0, result.out.find(' '));
  return digests_[path] == expected;
}

std::optional<std::string> RemoteFileSystem::writeAtomic(const std::string& path,
                                                         std::string_view data, unsigned mode) {
  changed();
  digests_.erase(path);
  const RunResult result =
      run("p=" + shellQuote(path) +
              "; mkdir -p -- \"$(dirname -- \"$p\")\" || exit 1\n"
              "t=$(mktemp -- \"$p.tmp-XXXXXX\") || exit 1\n"
              "if cat > \"$t\" && chmod " +
              octal(mode) +
              " -- \"$t\" && { sync -- \"$t\" 2>/dev/null || :; } && mv -f -- \"$t\" \"$p\"; then"
              " exit 0; fi\n"
              "rm -f -- \"$t\"; exit 1",
          std::string(data));
  if (result.status == 0) {
    digests_[path] = digestOf(data);
    return std::nullopt;
  }
  return "cannot write " + path + ": " + reasonIn(result);
}

std::optional<std::string> RemoteFileSystem::makeDirs(const std::string& path, unsigned mode) {
  if (made_.contains(path)) return std::nullopt;
  changed();
  const RunResult result = run("mkdir -p -m " + octal(mode) + " -- " + shellQuote(path));
  if (result.status == 0) {
    made_.insert(path);
    return std::nullopt;
  }
  return reasonIn(result);
}

std::optional<std::string> RemoteFileSystem::remove(const std::string& path) {
  changed();
  digests_.erase(path);
  const RunResult result = run("p=" + shellQuote(path) +
                               "; if [ -d \"$p\" ] && [ ! -L \"$p\" ]; then"
                               " echo \"$p: Is a directory\" >&2; exit 1; fi; rm -f -- \"$p\"");
  if (result.status == 0) return std::nullopt;
  return reasonIn(result);
}

bool RemoteFileSystem::onPath(std::string_view executable) const {
  const std::string name(executable);
  if (auto known = onPath_.find(name); known != onPath_.end()) return known->second;
  const RunResult result = run(std::string(kOnPathFunction) + "onpath " + shellQuote("/" + name));
  return onPath_[name] = result.status == 0;
}

}  // namespace talvane::remote
