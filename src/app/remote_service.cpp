#include "app/remote_service.h"

#include "platform/files.h"
#include "platform/log.h"
#include "remote/destination.h"
#include "remote/remote_hosts.h"

namespace talvane {

using remote::RemoteHost;
namespace RemoteHosts = remote::RemoteHosts;
using remote::RemoteLinks;

RemoteService::RemoteService(EventLoop& loop, HookRouter& hub, SettingsStore& store,
                             remote::Processes& processes)
    : loop_(loop), hub_(hub), store_(store), processes_(processes), links_(loop, processes) {
  links_.onChange = [this](const remote::LinkStatus&) { changed(); };
}

RemoteService::~RemoteService() {
  onChange = nullptr;
  stop();
}

void RemoteService::changed() {
  if (onChange) onChange();
}

void RemoteService::start() {
  started_ = true;
  for (const RemoteHost& host : RemoteHosts::load(store_)) link(host);
}

void RemoteService::stop() {
  started_ = false;
  links_.stop();
  for (auto& [destination, listener] : listeners_) listener->stop();
  listeners_.clear();
}

void RemoteService::keepListening() {
  for (auto& [destination, listener] : listeners_) listener->keepListening();
}

// The listener first, so that the forward has somewhere to deliver as soon as it is up.
void RemoteService::link(const RemoteHost& host) {
  if (!started_) return;
  const std::string socket = RemoteLinks::localSocketPath(host.destination);
  auto& listener = listeners_[host.destination];
  if (!listener) {
    listener = std::make_unique<Bridge>(hub_, Bridge::Remote{socket, host.destination});
    listener->start();
  }
  links_.add(host, socket);
}

Json RemoteService::add(const Json& value) {
  auto host = RemoteHosts::fromJson(value);
  if (!host || !remote::Destination::parse(host->destination))
    return {{"ok", false}, {"error", "not a remote host record"}};
  RemoteHosts::put(store_, *host);
  link(*host);
  changed();
  return {{"ok", true}};
}

Json RemoteService::remove(const std::string& destination) {
  const bool removed = RemoteHosts::erase(store_, destination);
  links_.remove(destination);
  if (auto found = listeners_.find(destination); found != listeners_.end()) {
    found->second->stop();
    listeners_.erase(found);
  }
  changed();
  return {{"ok", true}, {"removed", removed}};
}

Json RemoteService::list() const {
  Json hosts = Json::array();
  for (const RemoteHost& host : RemoteHosts::load(store_)) {
    auto status = links_.status(host.destination);
    hosts.push_back({
        {"destination", host.destination},
        {"machine", host.machine},
        {"state", remote::stateName(status ? status->state : remote::LinkState::stopped)},
        {"detail", status ? status->detail : ""},
        {"codex", host.codex},
    });
  }
  return {{"hosts", hosts}};
}

void RemoteService::answerQueries(Bridge& bridge) {
  bridge.onQuery("remoteAdd", [this](const Json& request) {
    const Json* host = json::member(request, "host");
    return json::compact(add(host ? *host : Json()));
  });
  bridge.onQuery("remoteRemove", [this](const Json& request) {
    return json::compact(remove(json::string(request, "destination").value_or("")));
  });
  bridge.onQuery("remotes", [this](const Json&) { return json::compact(list()); });
}

Json RemoteService::pageJson() const {
  Json page = list();
  page["busy"] = busy_.empty() ? Json() : Json(busy_);
  page["message"] = message_;
  return page;
}

void RemoteService::runCommand(const std::string& verb, const std::string& destination) {
  if (!busy_.empty() || (verb != "add" && verb != "remove")) return;
  const std::string program = files::program();
  if (program.empty()) {
    message_ = "The talvane command was not found.";
    return changed();
  }
  busy_ = destination;
  lastLine_.clear();
  message_.clear();
  command_ = processes_.start({program, "remote", verb, destination},
                              {[this](const std::string& line) {
                                 if (line.find_first_not_of(" \t") != std::string::npos)
                                   lastLine_ = line;
                               },
                               [this, verb](int status) {
                                 message_ = !lastLine_.empty() ? lastLine_
                                            : status == 0      ? "Done."
                                                          : "talvane remote " + verb + " failed.";
                                 busy_.clear();
                                 changed();
                               }});
  changed();
}

}  // namespace talvane
