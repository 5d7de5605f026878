#pragma once
// A Hub on a manual loop and an in-memory preference store, with relays that record what they
// were answered.

#include <gtest/gtest.h>

#include <memory>
#include <set>
#include <string>
#include <vector>

#include "hub/hub.h"
#include "platform/manual_loop.h"
#include "platform/settings_store.h"

namespace talvane::testing {

// The relay side of one hook message: counts every answer written to it.
struct Relay {
  std::shared_ptr<std::vector<std::string>> answers = std::make_shared<std::vector<std::string>>();
  std::optional<std::string> pendingId;

  Reply reply() const {
    return [answers = answers](const std::string& text) { answers->push_back(text); };
  }
  std::size_t calls() const { return answers->size(); }
  const std::string& last() const { return answers->back(); }
  Json lastJson() const { return json::parse(last()).value_or(Json()); }
};

class HubTest : public ::testing::Test {
 public:
  HubTest() {
    settings.debugAnswer = [] { return std::optional<std::string>(); };
    settings.transcriptReads = Background::inline_();
  }

  // The hub is built lazily so that a test can adjust `settings` or `store` first.
  Hub& hub() {
    if (!hub_) make();
    return *hub_;
  }
  void make() {
    settings.hideAfter = [this] { return hideAfter; };
    settings.replyWindow = [this] { return replyWindow; };
    settings.processGone = [this](std::int32_t pid) { return deadPids.count(pid) > 0; };
    settings.jump = [this](const Session& s, auto) { jumps.push_back(s.id); };
    settings.jumpRemote = [this](const Session& s, auto) { remoteJumps.push_back(s.id); };
    hub_ = std::make_unique<Hub>(loop, store, settings, std::make_unique<GitHub>(loop, programs));
    hub_->onChange = [this] { ++changes; };
    hub_->onAttention = [this] { ++attentions; };
  }
  // A new Hub over the same store, as after a restart.
  void restart() {
    hub_.reset();
    make();
  }

  static Json event(const std::string& name, const std::string& conversation = "s1",
                    Json extra = Json::object()) {
    Json message = {{"hook_event_name", name}, {"session_id", conversation}, {"_agent", "claude"}};
    for (auto& [key, value] : extra.items()) message[key] = value;
    return message;
  }

  Relay send(const Json& message) {
    Relay relay;
    relay.pendingId = hub().claude(message, relay.reply());
    return relay;
  }

  Relay permission(const std::string& conversation = "s1", const std::string& toolUseId = "tu1",
                   const std::string& command = "ls") {
    Json extra = {{"tool_name", "Bash"}, {"tool_input", {{"command", command}}}};
    if (!toolUseId.empty()) extra["tool_use_id"] = toolUseId;
    return send(event("PermissionRequest", conversation, extra));
  }

  Relay stop(const std::string& conversation = "s1", const std::string& message = "All done.") {
    return send(event("Stop", conversation, {{"last_assistant_message", message}}));
  }

  const Session& get(const std::string& id) {
    const Session* s = hub().find(id);
    EXPECT_NE(s, nullptr) << id;
    static const Session none;
    return s ? *s : none;
  }

  std::vector<std::string> ids(const std::vector<const Session*>& list) {
    std::vector<std::string> out;
    for (const Session* s : list) out.push_back(s->id);
    return out;
  }

  ManualLoop loop;
  MemorySettingsStore store;
  HubSettings settings;
  // No `gh` unless a test provides one: nothing reaches the network.
  GitHub::Programs programs{{}, "/usr/bin/git"};
  int hideAfter = 120;
  int replyWindow = 15;
  std::set<std::int32_t> deadPids;
  std::vector<std::string> jumps;
  std::vector<std::string> remoteJumps;
  int changes = 0;
  int attentions = 0;

 private:
  std::unique_ptr<Hub> hub_;
};

}  // namespace talvane::testing
