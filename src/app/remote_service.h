#pragma once
// The running app's remote hosts: a listener and a forward for each host in the settings, the
// command line's queries about them, and the settings page's add and remove (which run the
// `talvane remote` command, so that the same install code runs whoever asked).

#include <functional>
#include <map>
#include <memory>
#include <string>

#include "bridge/bridge.h"
#include "bridge/hook_router.h"
#include "platform/event_loop.h"
#include "platform/json.h"
#include "platform/settings_store.h"
#include "remote/processes.h"
#include "remote/remote_links.h"

namespace talvane {

class RemoteService {
 public:
  // All must outlive the service.
  RemoteService(EventLoop& loop, HookRouter& hub, SettingsStore& store,
                remote::Processes& processes);
  ~RemoteService();
  RemoteService(const RemoteService&) = delete;
  RemoteService& operator=(const RemoteService&) = delete;

  // Listens and forwards for every recorded host.
  void start();
  // Kills the forwards and removes the local sockets.
  void stop();
  // Binds again a listener whose socket file went away. Called periodically.
  void keepListening();
  // {"_query":"remoteAdd","host":{...}}, {"_query":"remoteRemove","destination":"..."} and
  // {"_query":"remotes"} on the app's own socket.
  void answerQueries(Bridge& bridge);

  Json add(const Json& host);
  Json remove(const std::string& destination);
  // {"hosts":[{"destination","machine","state","detail","codex"}]}, in the order added.
  Json list() const;

  // The page's view: list()'s hosts, the destination a page command is busy with (or null) and
  // what the last one said.
  Json pageJson() const;
  // Runs `talvane remote <verb> <destination>` for the page; one at a time.
  void runCommand(const std::string& verb, const std::string& destination);

  // Something the page shows changed.
  std::function<void()> onChange;

 private:
  void link(const remote::RemoteHost& host);
  void changed();

  EventLoop& loop_;
  HookRouter& hub_;
  SettingsStore& store_;
  remote::Processes& processes_;
  remote::RemoteLinks links_;
  std::map<std::string, std::unique_ptr<Bridge>> listeners_;
  bool started_ = false;
  std::unique_ptr<remote::Processes::Running> command_;
  std::string busy_;
  std::string lastLine_;
  std::string message_;
};

}  // namespace talvane
