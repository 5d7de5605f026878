#include "remote/remote_links.h"

#include <glib.h>

#include <algorithm>
#include <deque>

#include "platform/files.h"
#include "platform/gobject.h"
#include "platform/log.h"
#include "remote/destination.h"

namespace talvane::remote {

namespace {

// The lines kept from one attempt to tell why it ended.
constexpr std::size_t kKeptLines = 16;

// ssh -v reports each remote forward the server accepted with this.
constexpr std::string_view kForwardUp = "remote forward success";

bool contains(const std::string& text, std::string_view part) {
  return text.find(part) != std::string::npos;
}

// What the user reads about a failed attempt: ssh's own complaint, not its debugging chatter.
std::string complaint(const std::deque<std::string>& lines, int status) {
  for (auto it = lines.rbegin(); it != lines.rend(); ++it) {
    const std::string& l = *it;
    if (l.empty() || l.starts_with("debug") || l.starts_with("OpenSSH_") ||
        l.starts_with("Transferred:") || l.starts_with("Bytes per second") ||
        l.starts_with("Authenticated to"))
      continue;
    return l;
  }
  return status < 0 ? "ssh ended" : "ssh exited with status " + std::to_string(status);
}

}  // namespace

std::string_view stateName(LinkState state) {
  switch (state) {
    case LinkState::connecting:
      return "connecting";
    case LinkState::connected:
      return "connected";
    case LinkState::retrying:
      return "retrying";
    case LinkState::authentication:
      return "authentication";
    case LinkState::stopped:
      return "stopped";
  }
  return "stopped";
}

struct RemoteLinks::Link {
  RemoteHost host;
  std::optional<Destination> to;
  std::string localSocket;
  LinkState state = LinkState::stopped;
  std::string detail;
  double delay = kFirstDelay;
  bool forwarding = false;  // the running process is the forward, not the preparation
  std::optional<Date> connectedAt;
  std::deque<std::string> lines;
  TimerHandle retry;
  TimerHandle settle;
  std::unique_ptr<Processes::Running> running;  // last: killed before the rest goes
};

RemoteLinks::RemoteLinks(EventLoop& loop, Processes& processes)
    : loop_(loop), processes_(processes) {}

RemoteLinks::~RemoteLinks() {
  onChange = nullptr;
  stop();
}

std::string RemoteLinks::localSocketPath(const std::string& destination) {
  GCharPtr sum(g_compute_checksum_for_string(G_CHECKSUM_SHA256, destination.c_str(), -1));
  return files::home() + "/.talvane/run/remote-" + std::string(sum.get()).substr(0, 16) + ".sock";
}

std::vector<std::string> RemoteLinks::prepareCommand(const RemoteHost& host) {
  const auto to = Destination::parse(host.destination);
  if (!to) return {};
  const std::string dir = shellQuote(remoteRunDirectory(host.home));
  return sshCommand(*to, {"-o", "ControlMaster=no", "-o", "ControlPath=none"},
                    "umask 077; mkdir -p " + dir + " && chmod 700 " + dir + " && rm -f " +
                        shellQuote(remoteSocketPath(host.home)));
}

std::vector<std::string> RemoteLinks::forwardCommand(const RemoteHost& host,
                                                     const std::string& localSocket) {
  const auto to = Destination::parse(host.destination);
  if (!to) return {};
  // -v: ssh says when the server accepted the forward, the moment the link is up.
  return sshCommand(
      *to, {"-N", "-v", "-o", "ExitOnForwardFailure=yes", "-o", "ServerAliveInterval=15", "-o",
            "ServerAliveCountMax=3", "-o", "StreamLocalBindUnlink=yes", "-o", "ControlMaster=no",
            "-o", "ControlPath=none", "-R", remoteSocketPath(host.home) + ":" + localSocket});
}

void RemoteLinks::add(const RemoteHost& host, const std::string& localSocket) {
  auto found = std::find_if(links_.begin(), links_.end(),
                            [&](const auto& l) { return l->host.destination == host.destination; });
  if (found != links_.end()) {
    Link& link = **found;
    const bool same = link.host.home == host.home && link.localSocket == localSocket;
    link.host = host;
    if (same && link.state != LinkState::stopped) return;
    link.running.reset();
    link.retry.cancel();
    link.settle.cancel();
    link.localSocket = localSocket;
    link.delay = kFirstDelay;
    link.state = LinkState::stopped;
    attempt(link);
    return;
  }
  auto link = std::make_unique<Link>();
  link->host = host;
  link->to = Destination::parse(host.destination);
  link->localSocket = localSocket;
  links_.push_back(std::move(link));
  if (!links_.back()->to) {
    set(*links_.back(), LinkState::stopped, "not a destination ssh takes");
    return;
  }
  attempt(*links_.back());
}

bool RemoteLinks::remove(const std::string& destination) {
  auto found = std::find_if(links_.begin(), links_.end(),
                            [&](const auto& l) { return l->host.destination == destination; });
  if (found == links_.end()) return false;
  std::unique_ptr<Link> gone = std::move(*found);
  links_.erase(found);
  gone->running.reset();
  log::line("Talvane: remote " + destination + ": removed");
  return true;
}

void RemoteLinks::stop() {
  for (auto& link : links_) {
    link->running.reset();
    link->retry.cancel();
    link->settle.cancel();
    if (link->state != LinkState::stopped) set(*link, LinkState::stopped, "");
  }
}

std::optional<LinkStatus> RemoteLinks::status(const std::string& destination) const {
  for (const auto& l : links_)
    if (l->host.destination == destination) return LinkStatus{destination, l->state, l->detail};
  return std::nullopt;
}

std::vector<LinkStatus> RemoteLinks::statuses() const {
  std::vector<LinkStatus> out;
  for (const auto& l : links_) out.push_back({l->host.destination, l->state, l->detail});
  return out;
}

void RemoteLinks::set(Link& link, LinkState state, std::string detail) {
  if (link.state == state && link.detail == detail) return;
  const bool changedState = link.state != state;
  link.state = state;
  link.detail = std::move(detail);
  if (changedState)
    log::line("Talvane: remote " + link.host.destination + ": " + std::string(stateName(state)) +
              (link.detail.empty() ? "" : " (" + link.detail + ")"));
  if (onChange) onChange({link.host.destination, link.state, link.detail});
}

// Each attempt first readies the remote directory, then starts the forward.
void RemoteLinks::attempt(Link& link) {
  // After a failure the host stays shown as retrying (or needing authentication) until it is up.
  if (link.state == LinkState::stopped || link.state == LinkState::connected)
    set(link, LinkState::connecting, "");
  link.forwarding = false;
  link.connectedAt.reset();
  link.lines.clear();
  Link* l = &link;
  link.running = processes_.start(prepareCommand(link.host),
                                  {[l](const std::string& line) {
                                     l->lines.push_back(line);
                                     if (l->lines.size() > kKeptLines) l->lines.pop_front();
                                   },
                                   [this, l](int status) {
                                     if (status == 0) {
                                       // Not from within the exit report of the process being
                                       // replaced.
                                       l->retry = loop_.after(0, [this, l] { forward(*l); });
                                     } else {
                                       failed(*l, status);
                                     }
                                   }});
}

void RemoteLinks::forward(Link& link) {
  link.forwarding = true;
  link.lines.clear();
  Link* l = &link;
  auto up = [this, l] {
    l->settle.cancel();
    if (l->connectedAt) return;
    l->connectedAt = loop_.now();
    set(*l, LinkState::connected, "");
  };
  link.running = processes_.start(forwardCommand(link.host, link.localSocket),
                                  {[l, up](const std::string& line) {
                                     if (contains(line, kForwardUp)) up();
                                     // Debugging chatter goes on for as long as the link lives;
                                     // only the tail is kept.
                                     l->lines.push_back(line);
                                     if (l->lines.size() > kKeptLines) l->lines.pop_front();
                                   },
                                   [this, l](int status) { failed(*l, status); }});
  link.settle = loop_.after(kSettle, up);
}

void RemoteLinks::failed(Link& link, int status) {
  link.settle.cancel();
  if (link.connectedAt && loop_.now() - *link.connectedAt >= kLasted) link.delay = kFirstDelay;
  link.connectedAt.reset();
  bool denied = false, hostKey = false;
  for (const std::string& l : link.lines) {
    denied = denied || contains(l, "Permission denied");
    hostKey = hostKey || contains(l, "Host key verification failed");
  }
  double wait = link.delay;
  if (hostKey) {
    wait = kMaxDelay;
    set(link, LinkState::authentication,
        "host key not verified: run ssh " + link.host.destination + " once to check and accept it");
  } else if (denied) {
    wait = kMaxDelay;
    set(link, LinkState::authentication,
        "needs key or agent authentication (no password prompt): " + complaint(link.lines, status));
  } else {
    set(link, LinkState::retrying, complaint(link.lines, status));
    link.delay = std::min(link.delay * 2, kMaxDelay);
  }
  Link* l = &link;
  link.retry = loop_.after(wait, [this, l] {
    l->running.reset();
    attempt(*l);
  });
}

}  // namespace talvane::remote
