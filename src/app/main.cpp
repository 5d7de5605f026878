// talvane: the desktop companion. Subcommands talk to a running copy or to the agents' files.
#include <signal.h>

#include <cstdio>
#include <cstring>
#include <string_view>
#include <utility>

#include "app/commands.h"

namespace {

struct Command {
  std::string_view name;
  int (*run)(const talvane::cli::Args&);
  std::string_view help;
};

// To add a subcommand: declare it in commands.h, implement it in its own cli_*.cpp, list it here.
constexpr Command kCommands[] = {
    {"state", talvane::cli::state, "print the running app's state as JSON"},
    {"usage", talvane::cli::usage, "today's usage per model [--json]"},
    {"connect", talvane::cli::connect, "connect an agent: claude, cursor, gemini, droid, "
                                       "opencode, copilot, windsurf, or all"},
    {"disconnect", talvane::cli::disconnect, "disconnect an agent, or all"},
    {"status", talvane::cli::status, "agents, the socket, and the running app's sessions"},
    {"jump", talvane::cli::jump, "<session-id>: bring the session's terminal or editor forward"},
    {"talk", talvane::cli::talk, "dictation in the running app: start, stop or toggle "
                                 "(the default)"},
    {"dictate", talvane::cli::dictate, "print what dictating FILE.wav (or --text \"...\") "
                                       "would type"},
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
      if (args[0] == c.name) return c.run(talvane::cli::Args(args.begin() + 1, args.end()));
    }
    if (args[0].rfind("-", 0) != 0) {
      std::fprintf(stderr, "talvane: unknown command '%s' (see talvane --help)\n", args[0].c_str());
      return 2;
    }
  }
  return talvane::cli::app(args);
}
