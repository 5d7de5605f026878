#include "app/autostart.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <map>
#include <string_view>

#include "platform/files.h"

namespace talvane::Autostart {

namespace {

// Marks the entry as written by this app, so a hand-made file of the same name is never taken
// for ours, nor removed.
constexpr std::string_view kMarker = "X-Talvane-Autostart";

bool hasControl(std::string_view text) {
  for (unsigned char c : text)
    if (c < 0x20 || c == 0x7f) return true;
  return false;
}

// A value of string type: only the backslash needs escaping.
std::string escapeString(std::string_view text) {
  std::string out;
  for (char c : text) {
    if (c == '\\') out += '\\';
    out += c;
  }
  return out;
}

// One argument of Exec: quoted when it holds a reserved character, with '%' doubled so it is
// no field code.
std::string execArgument(std::string_view arg) {
  constexpr std::string_view reserved = " \t\"'\\><~|&;$*?#()`";
  std::string quoted;
  if (arg.find_first_of(reserved) == std::string_view::npos) {
    quoted = arg;
  } else {
    quoted = "\"";
    for (char c : arg) {
      if (c == '"' || c == '`' || c == '$' || c == '\\') quoted += '\\';
      quoted += c;
    }
    quoted += '"';
  }
  std::string out;
  for (char c : quoted) {
    out += c;
    if (c == '%') out += '%';
  }
  return escapeString(out);
}

// The keys of the file's "[Desktop Entry]" group.
std::map<std::string, std::string, std::less<>> mainGroup(std::string_view text) {
  std::map<std::string, std::string, std::less<>> keys;
  bool inside = false;
  while (!text.empty()) {
    auto eol = text.find('\n');
    std::string_view line = text.substr(0, eol);
    text.remove_prefix(eol == std::string_view::npos ? text.size() : eol + 1);
    while (!line.empty() && (line.back() == '\r' || line.back() == ' ')) line.remove_suffix(1);
    if (line.empty() || line.front() == '#') continue;
    if (line.front() == '[') {
      inside = line == "[Desktop Entry]";
      continue;
    }
    auto eq = line.find('=');
    if (!inside || eq == std::string_view::npos) continue;
    std::string_view key = line.substr(0, eq), value = line.substr(eq + 1);
    while (!key.empty() && key.back() == ' ') key.remove_suffix(1);
    while (!value.empty() && value.front() == ' ') value.remove_prefix(1);
    keys.emplace(std::string(key), std::string(value));
  }
  return keys;
}

bool ours(const std::map<std::string, std::string, std::less<>>& keys) {
  auto it = keys.find(kMarker);
  return it != keys.end() && it->second == "true";
}

}  // namespace

std::string path() { return files::configHome() + "/autostart/talvane.desktop"; }

std::string currentExecutable() { return files::program(); }

std::string entry(const std::string& executable) {
  if (executable.empty() || executable.front() != '/' || hasControl(executable)) return {};
  std::string text = "[Desktop Entry]\n";
  text += "Type=Application\n";
  text += "Name=Talvane\n";
  text += "Comment=Companion for AI coding agents\n";
  text += "Exec=" + execArgument(executable) + "\n";
  text += "TryExec=" + escapeString(executable) + "\n";
  text += "Terminal=false\n";
  text += "X-GNOME-Autostart-enabled=true\n";
  text += std::string(kMarker) + "=true\n";
  return text;
}

bool enabled() {
  auto text = files::read(path());
  if (!text) return false;
  auto keys = mainGroup(*text);
  if (!ours(keys)) return false;
  auto hidden = keys.find("Hidden");
  if (hidden != keys.end() && hidden->second == "true") return false;
  auto gnome = keys.find("X-GNOME-Autostart-enabled");
  return gnome == keys.end() || gnome->second != "false";
}

std::optional<std::string> install(const std::string& executable) {
  std::string text = entry(executable);
  if (text.empty())
    return "cannot start " + (executable.empty() ? "an unknown program" : executable) +
           " from an autostart entry";
  return files::writeAtomic(path(), text, 0644);
}

std::optional<std::string> uninstall() {
  const std::string file = path();
  auto text = files::read(file);
  if (!text) return std::nullopt;
  if (!ours(mainGroup(*text))) return std::nullopt;
  if (::unlink(file.c_str()) != 0 && errno != ENOENT)
    return "cannot remove " + file + ": " + std::strerror(errno);
  return std::nullopt;
}

void refresh(const std::string& executable) {
  if (!enabled()) return;
  std::string wanted = entry(executable);
  if (wanted.empty() || files::read(path()) == wanted) return;
  install(executable);
}

}  // namespace talvane::Autostart
