#include "remote/destination.h"

#include <algorithm>
#include <charconv>
#include <cstdlib>

namespace talvane::remote {

namespace {

// Letters, digits and the few marks host and user names use. Anything else (spaces, quotes,
// '%' tokens, control characters) is refused rather than passed to ssh or a shell.
bool plain(std::string_view text, std::string_view extra) {
  return !text.empty() && text.front() != '-' && std::all_of(text.begin(), text.end(), [&](char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' ||
           c == '_' || c == '-' || extra.find(c) != std::string_view::npos;
  });
}

std::optional<int> parsePort(std::string_view text) {
  int port = 0;
  auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), port);
  if (error != std::errc() || end != text.data() + text.size() || port < 1 || port > 65535)
    return std::nullopt;
  return port;
}

}  // namespace

std::optional<Destination> Destination::parse(std::string_view text) {
  Destination to;
  if (auto at = text.rfind('@'); at != std::string_view::npos) {
    to.user = std::string(text.substr(0, at));
    if (!plain(to.user, "")) return std::nullopt;
    text.remove_prefix(at + 1);
  }
  std::string_view host = text;
  std::string_view port;
  if (text.starts_with('[')) {
    const auto close = text.find(']');
    if (close == std::string_view::npos) return std::nullopt;
    host = text.substr(1, close - 1);
    std::string_view rest = text.substr(close + 1);
    if (!rest.empty()) {
      if (!rest.starts_with(':')) return std::nullopt;
      port = rest.substr(1);
    }
    if (!plain(host, ":%") || host.find(':') == std::string_view::npos) return std::nullopt;
  } else {
    if (auto colon = text.find(':'); colon != std::string_view::npos) {
      host = text.substr(0, colon);
      port = text.substr(colon + 1);
    }
    if (!plain(host, "")) return std::nullopt;
  }
  to.host = std::string(host);
  if (text.ends_with(':')) return std::nullopt;
  if (!port.empty()) {
    to.port = parsePort(port);
    if (!to.port) return std::nullopt;
  }
  return to;
}

std::string Destination::text() const {
  std::string out;
  if (!user.empty()) out = user + "@";
  const bool v6 = host.find(':') != std::string::npos;
  out += v6 ? "[" + host + "]" : host;
  if (port) out += ":" + std::to_string(*port);
  return out;
}

std::string shellQuote(std::string_view text) {
  std::string out = "'";
  for (char c : text) {
    if (c == '\'')
      out += "'\\''";
    else
      out.push_back(c);
  }
  out.push_back('\'');
  return out;
}

std::string sshProgram() {
  const char* program = std::getenv("TALVANE_SSH");
  return program && *program ? program : "ssh";
}

std::vector<std::string> sshCommand(const Destination& to, const std::vector<std::string>& options,
                                    const std::string& command) {
  std::vector<std::string> argv{sshProgram(), "-o", "BatchMode=yes", "-o", "ConnectTimeout=15"};
  argv.insert(argv.end(), options.begin(), options.end());
  if (to.port) {
    argv.push_back("-p");
    argv.push_back(std::to_string(*to.port));
  }
  argv.push_back("--");
  argv.push_back(to.user.empty() ? to.host : to.user + "@" + to.host);
  if (!command.empty()) argv.push_back(command);
  return argv;
}

std::string remoteRunDirectory(std::string_view home) {
  return std::string(home) + "/.talvane/run";
}

std::string remoteSocketPath(std::string_view home) {
  return remoteRunDirectory(home) + "/talvane.sock";
}

std::string remoteRelayPath(std::string_view home) {
  return std::string(home) + "/.talvane/bin/talvane-hook";
}

}  // namespace talvane::remote
