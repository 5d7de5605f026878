// The notifications on a private session bus, against a stand-in notification server owned by a
// second connection in this process: what the server is asked, and what its signals answer.
#include <gio/gio.h>
#include <gtest/gtest.h>

#include <map>
#include <set>

#include "hub/hub.h"
#include "notch/notifier.h"
#include "platform/desktop_notifications.h"
#include "platform/settings_store.h"
#include "support/private_bus.h"

namespace talvane {
namespace {

using testing::spinUntil;

class StandInServer {
 public:
  struct Shown {
    std::uint32_t id = 0;
    std::uint32_t replaces = 0;
    std::string summary, body;
    std::vector<std::string> actions;  // key, label, key, label, ...
    std::map<std::string, std::string> hints;
    int timeout = 0;
  };

  StandInServer(const testing::PrivateBus& bus, std::vector<std::string> caps)
      : connection_(bus.connect()), caps_(std::move(caps)) {}
  ~StandInServer() { quit(); }

  bool serve() {
    if (!connection_) return false;
    static const char* xml =
        "<node><interface name='org.freedesktop.Notifications'>"
        "<method name='GetCapabilities'><arg type='as' direction='out'/></method>"
        "<method name='Notify'><arg type='s' direction='in'/><arg type='u' direction='in'/>"
        "<arg type='s' direction='in'/><arg type='s' direction='in'/><arg type='s' direction='in'/>"
        "<arg type='as' direction='in'/><arg type='a{sv}' direction='in'/>"
        "<arg type='i' direction='in'/><arg type='u' direction='out'/></method>"
        "<method name='CloseNotification'><arg type='u' direction='in'/></method>"
        "<signal name='NotificationClosed'><arg type='u'/><arg type='u'/></signal>"
        "<signal name='ActionInvoked'><arg type='u'/><arg type='s'/></signal>"
        "<signal name='NotificationReplied'><arg type='u'/><arg type='s'/></signal>"
        "</interface></node>";
    GDBusNodeInfo* info = g_dbus_node_info_new_for_xml(xml, nullptr);
    static const GDBusInterfaceVTable vtable = {&StandInServer::onCall, nullptr, nullptr, {}};
    registration_ =
        g_dbus_connection_register_object(connection_.get(), DesktopNotifications::kPath,
                                          info->interfaces[0], &vtable, this, nullptr, nullptr);
    g_dbus_node_info_unref(info);
    return registration_ && call("RequestName", g_variant_new("(su)", DesktopNotifications::kName,
                                                              4u /*do not queue*/));
  }

  // The server goes away, as a daemon that quits or crashes.
  void quit() {
    if (!registration_) return;
    g_dbus_connection_unregister_object(connection_.get(), registration_);
    registration_ = 0;
    call("ReleaseName", g_variant_new("(s)", DesktopNotifications::kName));
  }

  void emit(const char* signal, GVariant* args) {
    g_dbus_connection_emit_signal(connection_.get(), nullptr, DesktopNotifications::kPath,
                                  DesktopNotifications::kName, signal, args, nullptr);
    g_dbus_connection_flush_sync(connection_.get(), nullptr, nullptr);
  }
  void invoke(std::uint32_t id, const std::string& key) {
    emit("ActionInvoked", g_variant_new("(us)", id, key.c_str()));
  }
  void reply(std::uint32_t id, const std::string& text) {
    emit("NotificationReplied", g_variant_new("(us)", id, text.c_str()));
  }
  // The id the action keys of the latest notification refer to.
  const Shown& last() const { return notified.back(); }

  std::vector<Shown> notified;
  std::vector<std::uint32_t> closed;
  int capabilityCalls = 0;

 private:
  bool call(const char* method, GVariant* args) {
    GVariant* reply = g_dbus_connection_call_sync(
        connection_.get(), "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
        method, args, nullptr, G_DBUS_CALL_FLAGS_NONE, 5000, nullptr, nullptr);
    if (reply) g_variant_unref(reply);
    return reply != nullptr;
  }

  static void onCall(GDBusConnection*, const gchar*, const gchar*, const gchar*,
                     const gchar* method, GVariant* args, GDBusMethodInvocation* invocation,
                     gpointer data) {
    auto* self = static_cast<StandInServer*>(data);
    const std::string name = method;
    if (name == "GetCapabilities") {
      ++self->capabilityCalls;
      std::vector<const char*> caps;
      for (const auto& c : self->caps_) caps.push_back(c.c_str());
      g_dbus_method_invocation_return_value(
          invocation, g_variant_new("(@as)", g_variant_new_strv(caps.data(), gssize(caps.size()))));
    } else if (name == "Notify") {
      Shown shown;
      const gchar *app, *icon, *summary, *body;
      GVariantIter *actions, *hints;
      g_variant_get(args, "(&su&s&s&sasa{sv}i)", &app, &shown.replaces, &icon, &summary, &body,
                    &actions, &hints, &shown.timeout);
      shown.summary = summary;
      shown.body = body;
      const gchar* action;
      while (g_variant_iter_next(actions, "&s", &action)) shown.actions.push_back(action);
      const gchar* key;
      GVariant* value;
      while (g_variant_iter_next(hints, "{&sv}", &key, &value)) {
        if (g_variant_is_of_type(value, G_VARIANT_TYPE_STRING))
          shown.hints[key] = g_variant_get_string(value, nullptr);
        else if (g_variant_is_of_type(value, G_VARIANT_TYPE_BYTE))
          shown.hints[key] = std::to_string(g_variant_get_byte(value));
        else if (g_variant_is_of_type(value, G_VARIANT_TYPE_BOOLEAN))
          shown.hints[key] = g_variant_get_boolean(value) ? "true" : "false";
        g_variant_unref(value);
      }
      g_variant_iter_free(actions);
      g_variant_iter_free(hints);
      shown.id = shown.replaces ? shown.replaces : ++self->nextId_;
      self->notified.push_back(shown);
      g_dbus_method_invocation_return_value(invocation, g_variant_new("(u)", shown.id));
    } else if (name == "CloseNotification") {
      std::uint32_t id = 0;
      g_variant_get(args, "(u)", &id);
      self->closed.push_back(id);
      g_dbus_method_invocation_return_value(invocation, nullptr);
      self->emit("NotificationClosed", g_variant_new("(uu)", id, 3u));
    }
  }

  GObjectPtr<GDBusConnection> connection_;
  std::vector<std::string> caps_;
  guint registration_ = 0;
  std::uint32_t nextId_ = 0;
};

// A Hub on the real loop, its notifier on the private bus, and relays that record answers.
class NotifierBus : public ::testing::Test {
 protected:
  void SetUp() override {
    if (bus_.address().empty()) GTEST_SKIP() << bus_.why();
    HubSettings settings;
    settings.debugAnswer = [] { return std::optional<std::string>(); };
    hub_ = std::make_unique<Hub>(loop_, store_, settings);
    notifier_ = std::make_unique<Notifier>(*hub_, loop_, &server_, nullptr);
    hub_->onChange = [this] { notifier_->changed(); };
  }
  void TearDown() override {
    if (hub_) hub_->onChange = nullptr;
  }

  bool start(std::vector<std::string> caps) {
    standIn_.emplace(bus_, std::move(caps));
    if (!standIn_->serve()) return false;
    server_.start(bus_.address());
    return spinUntil([&] { return server_.available(); });
  }

  // A permission request of "claude:<conversation>"; its relay's answers land in answers_.
  std::string request(const std::string& conversation, const std::string& call,
                      const std::string& command = "make test") {
    const std::string id = "claude:" + conversation + ":" + call;
    hub_->claude({{"hook_event_name", "PermissionRequest"},
                  {"session_id", conversation},
                  {"cwd", "/tmp"},
                  {"tool_name", "Bash"},
                  {"tool_use_id", call},
                  {"tool_input", {{"command", command}}}},
                 [this, id](const std::string& a) { answers_[id] = a; });
    return id;
  }
  std::string behavior(const std::string& id) {
    auto it = answers_.find(id);
    if (it == answers_.end() || it->second.empty()) return "";
    return json::parse(it->second).value_or(Json())["hookSpecificOutput"]["decision"]["behavior"];
  }
  // The action key of `label` on the latest notification.
  std::string key(const std::string& label) const {
    const auto& actions = standIn_->last().actions;
    for (size_t i = 0; i + 1 < actions.size(); i += 2)
      if (actions[i + 1] == label) return actions[i];
    return "";
  }

  testing::PrivateBus bus_;
  GLibLoop loop_;
  MemorySettingsStore store_;
  DesktopNotifications server_;
  std::optional<StandInServer> standIn_;
  std::unique_ptr<Hub> hub_;
  std::unique_ptr<Notifier> notifier_;
  std::map<std::string, std::string> answers_;
};

TEST_F(NotifierBus, ActionsAnswerTheirOwnRequestAndStaleOnesNothing) {
  ASSERT_TRUE(start({"actions", "body", "body-markup"}));
  const std::string a = request("a", "t1", "echo <b> & done");
  const std::string b = request("b", "t2");
  ASSERT_TRUE(spinUntil([&] { return standIn_->notified.size() == 2; }));
  auto first = standIn_->notified[0];
  EXPECT_EQ(first.replaces, 0u);
  EXPECT_EQ(first.summary, "tmp · Claude Code");
  EXPECT_EQ(first.body, "Wants to run: echo &lt;b&gt; &amp; done");
  EXPECT_EQ(first.actions, (std::vector<std::string>{"default", "Open", "allow:" + a, "Allow",
                                                     "deny:" + a, "Deny"}));
  EXPECT_EQ(first.hints["desktop-entry"], "app.talvane.Talvane");
  EXPECT_EQ(first.hints["urgency"], "1");
  EXPECT_EQ(first.hints["category"], "im.received");
  EXPECT_EQ(first.timeout, 0);
  const std::uint32_t idA = first.id, idB = standIn_->notified[1].id;
  ASSERT_NE(idA, idB);

  // A request replaced on session b: the old notification's Allow must not answer the new one.
  const std::string b2 = request("b", "t3", "rm -rf build");
  standIn_->invoke(idB, "allow:" + b);
  standIn_->invoke(idA, "allow:" + a);
  ASSERT_TRUE(spinUntil([&] { return !behavior(a).empty(); }));
  EXPECT_EQ(behavior(a), "allow");
  EXPECT_EQ(behavior(b2), "") << "a stale action answers nothing";
  EXPECT_EQ(answers_[b], "") << "the replaced request was only released";
  ASSERT_TRUE(spinUntil([&] {
    return std::find(standIn_->closed.begin(), standIn_->closed.end(), idA) !=
           standIn_->closed.end();
  })) << "answered: its notification is closed";

  // The replacement keeps the notification's id.
  ASSERT_TRUE(spinUntil([&] { return standIn_->last().body == "Wants to run: rm -rf build"; }));
  EXPECT_EQ(standIn_->last().replaces, idB);
  standIn_->invoke(idB, key("Deny"));
  ASSERT_TRUE(spinUntil([&] { return !behavior(b2).empty(); }));
  EXPECT_EQ(behavior(b2), "deny");

  // Answered elsewhere (the panel): closed at once.
  const std::string c = request("c", "t4");
  ASSERT_TRUE(spinUntil([&] {
    return standIn_->last().actions.size() == 6 && standIn_->last().actions[2] == "allow:" + c;
  }));
  const std::uint32_t idC = standIn_->last().id;
  hub_->decide("claude:c", "allow");
  ASSERT_TRUE(spinUntil([&] { return standIn_->closed.back() == idC; }));
}

TEST_F(NotifierBus, InlineRepliesReachTheRelayAsTheUsersText) {
  ASSERT_TRUE(start({"actions", "body", "inline-reply"}));
  std::string answer;
  auto offer = hub_->claude({{"hook_event_name", "Stop"},
                             {"session_id", "r"},
                             {"cwd", "/tmp"},
                             {"last_assistant_message", "Tests pass."}},
                            [&](const std::string& a) { answer = a; });
  ASSERT_TRUE(offer);
  ASSERT_TRUE(spinUntil([&] { return !standIn_->notified.empty(); }));
  EXPECT_EQ(standIn_->last().body, "Tests pass.");
  EXPECT_EQ(key("Reply"), "inline-reply");
  standIn_->reply(standIn_->last().id, "Ship it\nplease");
  ASSERT_TRUE(spinUntil([&] { return !answer.empty(); }));
  EXPECT_EQ(json::parse(answer).value_or(Json())["systemMessage"],
            "Replied from the notch: Ship it\nplease");
}

TEST_F(NotifierBus, NoServerIsHarmlessAndTheRequestIsStillAnsweredInThePanel) {
  int changes = 0;
  server_.onChanged = [&, inner = server_.onChanged] {
    ++changes;
    inner();
  };
  server_.start(bus_.address());
  ASSERT_TRUE(spinUntil([&] { return changes > 0; })) << "the failed call is noticed";
  EXPECT_FALSE(server_.available());
  const std::string a = request("a", "t1");
  ASSERT_TRUE(spinUntil([&] { return notifier_->attention(); })) << "the tray still knows";
  hub_->decide("claude:a", "deny");
  EXPECT_EQ(behavior(a), "deny");
  EXPECT_TRUE(spinUntil([&] { return !notifier_->attention(); }));
}

TEST_F(NotifierBus, AServerThatQuitsIsForgottenAndOneThatComesBackIsUsed) {
  ASSERT_TRUE(start({"actions"}));
  request("a", "t1");
  ASSERT_TRUE(spinUntil([&] { return standIn_->notified.size() == 1; }));
  standIn_->quit();
  ASSERT_TRUE(spinUntil([&] { return !server_.available(); }));
  const std::string b = request("b", "t2");
  hub_->decide("claude:b", "allow");
  EXPECT_EQ(behavior(b), "allow");

  ASSERT_TRUE(standIn_->serve());
  ASSERT_TRUE(spinUntil([&] { return server_.available(); }));
  EXPECT_EQ(standIn_->capabilityCalls, 2);
  request("c", "t3");
  ASSERT_TRUE(spinUntil([&] { return standIn_->notified.size() >= 2; }));
  EXPECT_EQ(standIn_->last().replaces, 0u) << "a new server knows none of the old ids";
}

}  // namespace
}  // namespace talvane
