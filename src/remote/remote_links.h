#pragma once
// The app's end of every remote host: one `ssh -N` per host that forwards the remote user's
// relay socket back to a local socket of that host's own, kept up while the app runs. A link
// that drops is started again with a growing delay; a host that refuses our key is retried
// slowly and shown as needing authentication, never with a password prompt.

#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/event_loop.h"
#include "remote/processes.h"
#include "remote/remote_hosts.h"

namespace talvane::remote {

enum class LinkState { connecting, connected, retrying, authentication, stopped };
std::string_view stateName(LinkState state);

struct LinkStatus {
  std::string destination;
  LinkState state = LinkState::stopped;
  std::string detail;  // one line: why it is retrying or what authentication needs
};

class RemoteLinks {
 public:
  // Delays between attempts double from the first to the last; a connection that stayed up
  // this long starts them over.
  static constexpr double kFirstDelay = 1;
  static constexpr double kMaxDelay = 60;
  static constexpr double kLasted = 30;
  // ssh that is still up this long after starting has its forward, even when its report of it
  // was missed: a failed forward would have ended it (ExitOnForwardFailure) within the connect
  // time-out.
  static constexpr double kSettle = 20;

  RemoteLinks(EventLoop& loop, Processes& processes);
  ~RemoteLinks();
  RemoteLinks(const RemoteLinks&) = delete;
  RemoteLinks& operator=(const RemoteLinks&) = delete;

  // Keeps `host` forwarded to `localSocket` (on which something should already listen). A host
  // already linked is left alone unless its home or socket changed, then it starts over.
  void add(const RemoteHost& host, const std::string& localSocket);
  // Stops and forgets a host's link; false when there was none.
  bool remove(const std::string& destination);
  // Stops every link (their ssh processes are killed); the hosts stay known as stopped.
  void stop();

  std::optional<LinkStatus> status(const std::string& destination) const;
  std::vector<LinkStatus> statuses() const;  // in the order added
  // A link's state or detail changed.
  std::function<void(const LinkStatus&)> onChange;

  // ~/.talvane/run/remote-<hash of the destination>.sock
  static std::string localSocketPath(const std::string& destination);
  // The short command run before each attempt: the remote run directory private and present,
  // and no socket file left from an earlier forward (sshd would refuse to bind over it).
  static std::vector<std::string> prepareCommand(const RemoteHost& host);
  static std::vector<std::string> forwardCommand(const RemoteHost& host,
                                                 const std::string& localSocket);

 private:
  struct Link;
  void attempt(Link& link);
  void forward(Link& link);
  void failed(Link& link, int status);
  void set(Link& link, LinkState state, std::string detail);

  EventLoop& loop_;
  Processes& processes_;
  std::vector<std::unique_ptr<Link>> links_;
};

}  // namespace talvane::remote
