#include "remote/remote_file_system.h"

#include <glib.h>

#include <cstdio>
#include <utility>

#include "integrations/config_file.h"

namespace talvane::remote {

namespace {

// The system's reason at the end of a tool's message ("cat: /x: Permission denied").
std::string reasonIn(const RunResult& result) {
  const std::string line = lastLine(result.err);
  const auto colon = line.rfind(": ");
  if (colon != std::string::npos) return line.substr(colon + 2);
  return line.empty() ? "failed (status " + std::to_string(result.status) + ")" : line;
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
  // One round trip: "<flags> <mode>", the resolved target, stat's complaint about a link's
  // target, then the link's text (last: it may hold anything but NUL).
  const RunResult result =
      run("p=" + shellQuote(path) +
          "; f=; m=0; r=; e=; t=\n"
          "if [ -L \"$p\" ]; then f=l; t=$(readlink -- \"$p\"; echo .); t=${t%?}; t=${t%?}; fi\n"
          "if [ -e \"$p\" ]; then f=${f}e; m=$(stat -L -c %a -- \"$p\")\n"
          "  if [ -d \"$p\" ]; then f=${f}d; elif [ -x \"$p\" ]; then f=${f}x; fi\n"
          "  [ -w \"$p\" ] && f=${f}w\n"
          "  [ -L \"$p\" ] && r=$(realpath -- \"$p\")\n"
          "elif [ -L \"$p\" ]; then e=$(stat -L -- \"$p\" 2>&1 >/dev/null)\n"
          "fi\n"
          "printf '%s %s\\n%s\\n%s\\n%s' \"$f\" \"$m\" \"$r\" \"$e\" \"$t\"");
  FileFacts facts;
  std::string_view rest = result.out;
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

std::optional<std::string> RemoteFileSystem::read(const std::string& path, std::string* why) const {
  // Only regular files, as locally: a FIFO there would hold the command forever.
  const RunResult result =
      run("p=" + shellQuote(path) +
          "; if [ -e \"$p\" ] && [ ! -f \"$p\" ] && [ ! -d \"$p\" ]; then"
          " echo \"$p: Invalid argument\" >&2; exit 1; fi; exec cat -- \"$p\"");
  if (result.status == 0) return result.out;
  if (why) *why = reasonIn(result);
  return std::nullopt;
}

bool RemoteFileSystem::holds(const std::string& path, std::string_view data) const {
  // The relay is megabytes: compare digests, not the bytes.
  gchar* digest = g_compute_checksum_for_data(
      G_CHECKSUM_SHA256, reinterpret_cast<const guchar*>(data.data()), data.size());
  const std::string expected = digest ? digest : "";
  g_free(digest);
  const RunResult result =
      run("p=" + shellQuote(path) + "; [ -f \"$p\" ] && sha256sum < \"$p\" 2>/dev/null");
  return result.status == 0 && result.out.substr(0, result.out.find(' ')) == expected;
}

std::optional<std::string> RemoteFileSystem::writeAtomic(const std::string& path,
                                                         std::string_view data, unsigned mode) {
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
  if (result.status == 0) return std::nullopt;
  return "cannot write " + path + ": " + reasonIn(result);
}

std::optional<std::string> RemoteFileSystem::makeDirs(const std::string& path, unsigned mode) {
  const RunResult result = run("mkdir -p -m " + octal(mode) + " -- " + shellQuote(path));
  if (result.status == 0) return std::nullopt;
  return reasonIn(result);
}

std::optional<std::string> RemoteFileSystem::remove(const std::string& path) {
  const RunResult result = run("p=" + shellQuote(path) +
                               "; if [ -d \"$p\" ] && [ ! -L \"$p\" ]; then"
                               " echo \"$p: Is a directory\" >&2; exit 1; fi; rm -f -- \"$p\"");
  if (result.status == 0) return std::nullopt;
  return reasonIn(result);
}

bool RemoteFileSystem::onPath(std::string_view executable) const {
  const std::string name = shellQuote(std::string("/") + std::string(executable));
  const RunResult result = run("set -f; IFS=:; for d in $PATH; do [ -n \"$d\" ] && [ ! -d \"$d\"" +
                               name + " ] && [ -x \"$d\"" + name + " ] && exit 0; done; exit 1");
  return result.status == 0;
}

}  // namespace talvane::remote
