#include "context/jump_plan.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <utility>

#include "platform/files.h"

namespace talvane::Jump {

namespace {

// Editors whose command opens a folder in the running instance, by the executable's file name.
// VS Code and its forks take --reuse-window; Zed and Sublime Text focus an open folder anyway.
struct Editor {
  std::string_view exe, command;
  bool reuseFlag;
};
constexpr std::array<Editor, 9> kEditors{{
    {"code", "code", true},
    {"code-insiders", "code-insiders", true},
    {"code-oss", "code-oss", true},
    {"codium", "codium", true},
    {"cursor", "cursor", true},
    {"windsurf", "windsurf", true},
    {"zed", "zed", false},
    {"zed-editor", "zed", false},
    {"sublime_text", "subl", false},
}};

// Agents that live inside their editor: the folder is the place to go, whatever the host.
constexpr std::array<std::pair<std::string_view, std::string_view>, 2> kEditorAgents{{
    {"cursor", "cursor"},
    {"windsurf", "windsurf"},
}};

const Editor* editorNamed(std::string_view command) {
  for (const Editor& e : kEditors)
    if (e.command == command) return &e;
  return nullptr;
}

std::optional<std::string> value(const std::map<std::string, std::string>& map,
                                 const std::string& key) {
  auto it = map.find(key);
  if (it == map.end() || it->second.empty()) return std::nullopt;
  return it->second;
}

std::optional<CommandStep> editorStep(const Facts& f, const std::string& command) {
  auto path = value(f.programs, command);
  const Editor* editor = editorNamed(command);
  // The folder comes from an agent's payload: only an absolute path, never an option.
  if (!path || !editor || !f.root.starts_with('/')) return std::nullopt;
  CommandStep step{command, {{*path}, {}}, {}};
  if (editor->reuseFlag) step.command.argv.push_back("--reuse-window");
  step.command.argv.push_back(f.root);
  return step;
}

std::optional<CommandStep> kittyStep(const Facts& f) {
  auto kitty = value(f.programs, "kitty");
  auto to = value(f.env, "KITTY_LISTEN_ON");
  if (!kitty || !to) return std::nullopt;
  std::string match;
  if (auto id = value(f.env, "KITTY_WINDOW_ID"))
    match = "id:" + *id;
  else if (f.agentPid)
    match = "pid:" + std::to_string(*f.agentPid);
  else
    return std::nullopt;
  return CommandStep{
      "kitty", {{*kitty, "@", "--to", *to, "focus-window", "--match", match}, {}}, {}};
}

std::optional<CommandStep> weztermStep(const Facts& f) {
  auto wezterm = value(f.programs, "wezterm");
  auto pane = value(f.env, "WEZTERM_PANE");
  if (!wezterm || !pane) return std::nullopt;
  CommandStep step{"wezterm", {{*wezterm, "cli", "activate-pane", "--pane-id", *pane}, {}}, {}};
  if (auto socket = value(f.env, "WEZTERM_UNIX_SOCKET"))
    step.command.env.push_back("WEZTERM_UNIX_SOCKET=" + *socket);
  return step;
}

bool usesTmux(const Facts& f) {
  return value(f.env, "TMUX") || (f.hostExe && files::lastComponent(*f.hostExe) == "tmux");
}

std::vector<std::string_view> fields(std::string_view line) {
  std::vector<std::string_view> out;
  while (true) {
    auto tab = line.find('\t');
    out.push_back(line.substr(0, tab));
    if (tab == std::string_view::npos) return out;
    line.remove_prefix(tab + 1);
  }
}

template <typename F>
void eachLine(std::string_view text, F f) {
  while (!text.empty()) {
    auto eol = text.find('\n');
    std::string_view line = text.substr(0, eol);
    text.remove_prefix(eol == std::string_view::npos ? text.size() : eol + 1);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (!line.empty()) f(line);
  }
}

}  // namespace

std::optional<std::string> editorFor(std::string_view agent,
                                     const std::optional<std::string>& exe) {
  for (const auto& [name, command] : kEditorAgents)
    if (agent == name) return std::string(command);
  if (!exe) return std::nullopt;
  const std::string name = files::lastComponent(*exe);
  for (const Editor& e : kEditors)
    if (name == e.exe) return std::string(e.command);
  return std::nullopt;
}

std::string tmuxSocket(const Facts& f) {
  // TMUX is "<socket>,<server pid>,<session>"; the socket path itself may hold commas.
  if (auto tmux = value(f.env, "TMUX")) {
    auto last = tmux->rfind(',');
    if (last != std::string::npos && last > 0) {
      auto before = tmux->rfind(',', last - 1);
      if (before != std::string::npos && before > 0) return tmux->substr(0, before);
    }
  }
  const auto& args = f.hostArgs;
  for (std::size_t i = 1; i + 1 < args.size(); ++i) {
    if (args[i] == "-S") return args[i + 1];
    if (args[i] == "-L") return files::parent(f.tmuxDefaultSocket) + "/" + args[i + 1];
  }
  return f.tmuxDefaultSocket;
}

Plan plan(const Facts& f) {
  Plan p;
  const auto editor = editorFor(f.agent, f.hostExe);
  const bool editorAgent = editor && f.agent == *editor;

  if (editorAgent) {
    if (auto step = editorStep(f, *editor)) p.steps.push_back(std::move(*step));
  } else {
    if (f.tty && f.ttyExists && usesTmux(f)) {
      if (auto tmux = value(f.programs, "tmux"))
        p.steps.push_back(TmuxStep{{*tmux, "-S", tmuxSocket(f)}, *f.tty});
    }
    const bool x11 = f.x11 && !f.wayland;
    for (auto step : {kittyStep(f), weztermStep(f)}) {
      if (!step) continue;
      // Their commands pick the tab; the window may still sit behind others.
      if (x11) step->raise = f.lineage;
      p.steps.push_back(std::move(*step));
    }
    if (editor) {
      if (auto step = editorStep(f, *editor)) p.steps.push_back(std::move(*step));
    }
  }
  if (f.x11 && !f.wayland && !f.lineage.empty()) p.steps.push_back(WindowStep{f.lineage});

  if (p.steps.empty()) {
    if (!f.hostPid && !f.agentPid && !f.tty && !editorAgent)
      p.nothing = "no host is known";
    else if (editor && !f.root.empty() && !value(f.programs, *editor))
      p.nothing = *editor + " is not on PATH";
    else if (editor && f.root.empty())
      p.nothing = "the project folder is unknown";
    else if (f.lineage.empty())
      p.nothing = "the session's host has exited";
    else if (f.wayland)
      p.nothing = "this Wayland desktop offers no way to raise another window";
    else if (!f.x11)
      p.nothing = "no display to raise a window on";
    else
      p.nothing = "nothing to bring forward";
  }
  return p;
}

std::vector<TmuxPane> parsePanes(std::string_view text) {
  std::vector<TmuxPane> panes;
  eachLine(text, [&](std::string_view line) {
    auto f = fields(line);
    if (f.size() != 4 || f[0].empty() || f[2].empty() || f[3].empty()) return;
    panes.push_back({std::string(f[0]), std::string(f[1]), std::string(f[2]), std::string(f[3])});
  });
  return panes;
}

std::vector<TmuxClient> parseClients(std::string_view text) {
  std::vector<TmuxClient> clients;
  eachLine(text, [&](std::string_view line) {
    auto f = fields(line);
    int pid = 0;
    if (f.size() != 3 || f[0].empty()) return;
    auto [end, error] = std::from_chars(f[1].data(), f[1].data() + f[1].size(), pid);
    if (error != std::errc() || end != f[1].data() + f[1].size() || pid <= 0) return;
    clients.push_back({std::string(f[0]), std::string(f[2]), pid});
  });
  return clients;
}

std::vector<std::string> tmuxSelect(const TmuxPane& pane, const std::optional<TmuxClient>& client) {
  std::vector<std::string> args;
  if (client && client->session != pane.session)
    args = {"switch-client", "-c", client->tty, "-t", pane.session, ";"};
  for (std::string a :
       {"select-window", "-t", pane.window.c_str(), ";", "select-pane", "-t", pane.pane.c_str()})
    args.push_back(std::move(a));
  return args;
}

std::optional<TmuxClient> tmuxClientFor(const std::vector<TmuxClient>& clients,
                                        const TmuxPane& pane) {
  auto it = std::find_if(clients.begin(), clients.end(),
                         [&](const TmuxClient& c) { return c.session == pane.session; });
  if (it != clients.end()) return *it;
  if (!clients.empty()) return clients.front();
  return std::nullopt;
}

}  // namespace talvane::Jump
