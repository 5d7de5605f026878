#pragma once
// Subcommands of `talvane`. Each returns the process exit status; errors are one line on stderr.

#include <string>
#include <vector>

namespace talvane::cli {

using Args = std::vector<std::string>;  // the arguments after the subcommand's name

int state(const Args& args);       // print the running app's snapshot
int usage(const Args& args);       // today's usage: a table, or JSON with --json
int connect(const Args& args);     // install an agent's hooks (or "all")
int disconnect(const Args& args);  // remove an agent's hooks (or "all")
int status(const Args& args);      // agents, the socket, the running app's sessions
int jump(const Args& args);        // bring a session's host window forward
int talk(const Args& args);        // start, stop or toggle dictation in the running app
int dictate(const Args& args);     // the text a dictation of a WAV file (or --text) produces
int remote(const Args& args);      // add, list, remove or show the hosts whose agents we see

// Text from agents, safe to print on a terminal: control characters become '?'.
std::string printable(std::string text);

// Runs the app itself (no subcommand, or only options such as --web, --port N).
int app(const Args& args);

}  // namespace talvane::cli
