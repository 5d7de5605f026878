#include "context/jump.h"

#include <array>
#include <utility>

#include "platform/files.h"

namespace talvane::Jump {

namespace {

// Linux executables whose file name is not what people call them.
constexpr std::array<std::pair<std::string_view, std::string_view>, 16> kDisplayNames{{
    {"gnome-terminal-server", "GNOME Terminal"},
    {"gnome-terminal", "GNOME Terminal"},
    {"kgx", "Console"},
    {"ptyxis", "Ptyxis"},
    {"ptyxis-agent", "Ptyxis"},
    {"konsole", "Konsole"},
    {"xfce4-terminal", "Xfce Terminal"},
    {"wezterm-gui", "WezTerm"},
    {"tilix", "Tilix"},
    {"terminator", "Terminator"},
    {"alacritty", "Alacritty"},
    {"ghostty", "Ghostty"},
    {"code", "VS Code"},
    {"code-oss", "Code - OSS"},
    {"codium", "VSCodium"},
    {"windsurf", "Windsurf"},
}};

}  // namespace

std::optional<std::string> hostName(std::string_view agent,
                                    const std::optional<std::string>& hostBundle,
                                    const std::optional<std::string>& tty) {
  if (agent == "cursor") return "Cursor";
  if (agent == "codex") return hostBundle ? std::optional<std::string>("Codex") : std::nullopt;
  if (!hostBundle) return std::nullopt;
  std::string name = files::lastComponent(*hostBundle);
  if (auto dot = name.rfind('.'); dot != std::string::npos && dot > 0) name.resize(dot);
  if (name.empty() || name == "Claude" || name == "claude") return std::nullopt;
  // Terminal and iTerm2 tabs are told apart by their tty; without one the name says nothing.
  if ((name == "Terminal" || name == "iTerm" || name == "iTerm2") && !tty) return std::nullopt;
  for (const auto& [exe, display] : kDisplayNames)
    if (name == exe) return std::string(display);
  return name;
}

}  // namespace talvane::Jump
