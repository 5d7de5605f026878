#pragma once
// The app's end of the relay connection: a unix-domain socket listener on the GLib main
// context. Each connection carries line-delimited JSON hook messages; each message goes to
// the HookRouter with a one-shot reply function, and a connection whose event waits for the
// user stays open until that reply is written or the relay goes away.

#include <cstddef>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "bridge/hook_router.h"

namespace talvane {

// ~/.talvane/run and ~/.talvane/run/talvane.sock: the one definition the app, the relay's
// installers and the command line share.
std::string bridgeDirectory();
std::string bridgeSocketPath();

class Bridge {
 public:
  // A connection that has buffered this much without a line feed is dropped.
  static constexpr std::size_t kMaxBuffered = std::size_t{64} << 20;

  // `hub` must outlive the Bridge.
  explicit Bridge(HookRouter& hub, std::size_t maxBuffered = kMaxBuffered);
  // The listener for one remote host's relays, reaching us through an ssh forward to
  // `socketPath`: hook events only, never a query (a remote must not read or drive the app),
  // each tagged with "_remote": `destination` in place of whatever the remote wrote there.
  struct Remote {
    std::string socketPath;
    std::string destination;
  };
  Bridge(HookRouter& hub, Remote remote, std::size_t maxBuffered = kMaxBuffered);
  // Closes the listener and every connection not held by a reply function; reply
  // functions still held elsewhere stay usable (they answer their relay) but no longer
  // reach the Bridge. The socket file is left for `stop`.
  ~Bridge();
  Bridge(const Bridge&) = delete;
  Bridge& operator=(const Bridge&) = delete;

  // Creates the directory (0700), replaces a stale socket file and listens. On failure
  // logs one line and the app runs on without hook events.
  void start();
  // Stops listening and deletes the socket file, unless it is no longer the one this Bridge
  // bound (a newer copy of the app took over). Open connections are not touched.
  void stop();
  // While listening: when the socket file has been deleted or replaced, binds a new one (and
  // logs one line), so that relays reach the app again. True when it had to. Called
  // periodically.
  bool keepListening();

  // Answers {"_query":"<name>", ...} lines other than "state" (which the HookRouter answers):
  // `answer` gets the decoded request and returns the one line written back (without its
  // line feed). Registering a name again replaces its handler.
  using QueryHandler = std::function<std::string(const Json& request)>;
  void onQuery(const std::string& name, QueryHandler answer);
  // The same for answers that come later (a jump that runs child processes): `answer` gets the
  // request and a one-shot reply function; the connection stays open until it is called.
  using LaterQueryHandler = std::function<void(const Json& request, Reply reply)>;
  void onQueryLater(const std::string& name, LaterQueryHandler answer);

  bool listening() const;
  // Connections accepted and not yet ended.
  std::size_t openConnections() const;
  // Connections waiting for a reply, i.e. holding a pending id.
  std::size_t heldConnections() const;

 private:
  struct Core;
  std::shared_ptr<Core> core_;
};

}  // namespace talvane
