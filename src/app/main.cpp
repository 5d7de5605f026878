// talvane: the desktop companion. Subcommands talk to a running copy or to the agents' files.
//
// Built twice. `talvane`, the command people type, links none of the desktop's libraries, so
// that a command such as `talvane usage` starts in a few milliseconds rather than spending a
// hundred loading GTK and WebKit; the app itself, and commands that need those libraries,
// continue in `talvane-app` (beside it in a build tree, in ../lib/talvane when installed), which
// is built with everything (TALVANE_APP).
#include <signal.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>
#include <utility>

#include "app/commands.h"
#include "platform/files.h"

namespace {

// Tells the app which command started it.
constexpr const char* kProgramVariable = "TALVANE_COMMAND";

#if defined(TALVANE_APP)
constexpr auto kDictate = talvane::cli::dictate;
#else
// Speech recognition brings its own libraries: it runs in the app's binary.
constexpr int (*kDictate)(const talvane::cli::Args&) = nullptr;

int continueInApp(char** argv) {
  const std::string self = talvane::files::program();
  const std::string dir = talvane::files::parent(self);
  for (const std::string& app : {dir + "/talvane-app", dir + "/../lib/talvane/talvane-app"}) {
    if (self.empty() || ::access(app.c_str(), X_OK) != 0) continue;
    ::setenv(kProgramVariable, self.c_str(), 1);
    ::execv(app.c_str(), argv);  // the same argv[0], so the app keeps its name and class
  }
  std::fprintf(stderr, "talvane: cannot start talvane-app beside %s\n", self.c_str());
  return 1;
}
#endif

struct Command {
  std::string_view name;
  int (*run)(const talvane::cli::Args&);
  std::string_view help;
};

// To add a subcommand: declare it in commands.h, implement it in its own cli_*.cpp, list it here.
constexpr Command kCommands[] = {
    {"state", talvane::cli::state, "print the running app's state as JSON"},
    {"usage", talvane::cli::usage, "today's usage per model [--json]"},
    {"connect", talvane::cli::connect,
     "connect an agent: claude, cursor, gemini, droid, "
     "opencode, copilot, windsurf, or all"},
    {"disconnect", talvane::cli::disconnect, "disconnect an agent, or all"},
    {"status", talvane::cli::status, "agents, the socket, and the running app's sessions"},
    {"jump", talvane::cli::jump, "<session-id>: bring the session's terminal or editor forward"},
    {"talk", talvane::cli::talk,
     "dictation in the running app: start, stop or toggle "
     "(the default)"},
    {"dictate", kDictate,
     "print what dictating FILE.wav (or --text \"...\") "
     "would type"},
    {"remote", talvane::cli::remote,
     "agents on other machines over ssh: add [user@]host, list, "
     "remove, status"},
};

// Options of the app itself (no command).
constexpr std::pair<std::string_view, std::string_view> kOptions[] = {
    {"--web", "serve the panel to browsers; the address is printed"},
    {"--port N", "the port of the served panel; 0 picks a free one"},
    {"--version", "print the version and exit"},
    {"--help", "print this help and exit"},
};

void printLine(std::string_view name, std::string_view help) {
  std::printf("  %-12.*s %.*s\n", static_cast<int>(name.size()), name.data(),
              static_cast<int>(help.size()), help.data());
}

void printHelp() {
  std::printf("usage: talvane [options]         run the app\n");
  std::printf("       talvane <command> [args]  talk to the running app or the agents' files\n");
  std::printf("\noptions:\n");
  for (const auto& [name, help] : kOptions) printLine(name, help);
  std::printf("\ncommands:\n");
  for (const auto& c : kCommands) printLine(c.name, c.help);
}

}  // namespace

int main(int argc, char** argv) {
  signal(SIGPIPE, SIG_IGN);
#if defined(TALVANE_APP)
  // Read once and dropped, so that nothing the app starts inherits it.
  if (const char* program = std::getenv(kProgramVariable)) {
    if (program[0] == '/') talvane::files::setProgram(program);
    ::unsetenv(kProgramVariable);
  }
#endif
  talvane::cli::Args args(argv + 1, argv + argc);
  if (!args.empty()) {
    const bool info = args[0] == "--version" || args[0] == "--help" || args[0] == "-h";
    if (info && args.size() > 1) {
      std::fprintf(stderr, "talvane: %s takes no arguments\n", args[0].c_str());
      return 2;
    }
    if (args[0] == "--version") {
      std::printf("talvane %s\n", TALVANE_VERSION);
      return 0;
    }
    if (args[0] == "--help" || args[0] == "-h" || args[0] == "help") {
      printHelp();
      return 0;
    }
    for (const auto& c : kCommands) {
      if (args[0] != c.name) continue;
#if !defined(TALVANE_APP)
      if (!c.run) return continueInApp(argv);
#endif
      return c.run(talvane::cli::Args(args.begin() + 1, args.end()));
    }
    if (args[0].rfind('-', 0) != 0) {
      std::fprintf(stderr, "talvane: unknown command '%s' (see talvane --help)\n", args[0].c_str());
      return 2;
    }
  }
#if defined(TALVANE_APP)
  return talvane::cli::app(args);
#else
  return continueInApp(argv);
#endif
}
