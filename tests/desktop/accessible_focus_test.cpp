// The accessibility search against a stand-in application on a private bus: it serves the
// registry and one window from this process, so every answer needs the loop to turn while the
// search waits.
#include "desktop/accessible_focus.h"

#include <atspi/atspi-constants.h>
#include <gtest/gtest.h>

#include <map>
#include <optional>
#include <vector>

#include "support/private_bus.h"

namespace talvane {
namespace {

constexpr const char* kXml = R"(<node>
  <interface name='org.a11y.atspi.Accessible'>
    <method name='GetChildren'><arg type='a(so)' direction='out'/></method>
    <method name='GetState'><arg type='au' direction='out'/></method>
    <method name='GetRole'><arg type='u' direction='out'/></method>
    <method name='GetInterfaces'><arg type='as' direction='out'/></method>
  </interface>
  <interface name='org.a11y.atspi.Collection'>
    <method name='GetMatches'>
      <arg type='(aiia{ss}iaiiasib)' direction='in'/><arg type='u' direction='in'/>
      <arg type='i' direction='in'/><arg type='b' direction='in'/>
      <arg type='a(so)' direction='out'/>
    </method>
  </interface>
  <interface name='org.a11y.atspi.Text'>
    <property name='CaretOffset' type='i' access='read'/>
    <method name='GetText'>
      <arg type='i' direction='in'/><arg type='i' direction='in'/><arg type='s' direction='out'/>
    </method>
  </interface>
</node>)";

constexpr std::uint64_t bit(AtspiStateType s) { return std::uint64_t{1} << s; }

struct Node {
  std::vector<std::string> children{};
  std::uint64_t states = 0;
  AtspiRole role = ATSPI_ROLE_PANEL;
  bool text = false;
  std::string content{};  // with the caret at its end
};

// The registry and one application's tree, served from this process.
class StandIn {
 public:
  // The window offers a collection search when `collection`; an application that `hangs`
  // never answers for its windows.
  StandIn(const testing::PrivateBus& bus, bool collection, bool hangs)
      : conn_(bus.connect()), collection_(collection), hangs_(hangs) {
    info_ = g_dbus_node_info_new_for_xml(kXml, nullptr);
    GVariant* owned = g_dbus_connection_call_sync(
        conn_.get(), "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
        "RequestName", g_variant_new("(su)", "org.a11y.atspi.Registry", 0u), nullptr,
        G_DBUS_CALL_FLAGS_NONE, -1, nullptr, nullptr);
    if (owned) g_variant_unref(owned);
    nodes_["/org/a11y/atspi/accessible/root"] = {.children = {"/app"}};
    nodes_["/app"] = {.children = {"/window"}, .role = ATSPI_ROLE_APPLICATION};
    nodes_["/window"] = {.children = {"/label", "/entry"},
                         .states = bit(ATSPI_STATE_ACTIVE) | bit(ATSPI_STATE_SHOWING),
                         .role = ATSPI_ROLE_FRAME};
    nodes_["/label"] = {.states = bit(ATSPI_STATE_SHOWING), .role = ATSPI_ROLE_LABEL};
    nodes_["/entry"] = {
        .states = bit(ATSPI_STATE_SHOWING) | bit(ATSPI_STATE_FOCUSED) | bit(ATSPI_STATE_EDITABLE),
        .role = ATSPI_ROLE_ENTRY,
        .text = true,
        .content = "hello world"};
    static const GDBusInterfaceVTable vtable{&StandIn::method, &StandIn::property, nullptr, {}};
    for (const auto& [path, node] : nodes_) {
      for (GDBusInterfaceInfo** i = info_->interfaces; *i; ++i) {
        const std::string_view name = (*i)->name;
        if (name == "org.a11y.atspi.Collection" && (!collection_ || path != "/window")) continue;
        if (name == "org.a11y.atspi.Text" && !node.text) continue;
        ids_.push_back(g_dbus_connection_register_object(conn_.get(), path.c_str(), *i, &vtable,
                                                         this, nullptr, nullptr));
      }
    }
  }
  ~StandIn() {
    for (guint id : ids_) g_dbus_connection_unregister_object(conn_.get(), id);
    for (GDBusMethodInvocation* held : held_) g_object_unref(held);
    g_dbus_node_info_unref(info_);
  }

  // Answers held back until the loop lets them go.
  std::vector<GDBusMethodInvocation*> held_;
  bool holding = true;
  int questions = 0;

  void release() {
    holding = false;
    for (GDBusMethodInvocation* call : std::exchange(held_, {})) {
      const bool app = std::string_view(g_dbus_method_invocation_get_object_path(call)) !=
                       "/org/a11y/atspi/accessible/root";
      if (hangs_ && app)
        held_.push_back(call);
      else
        answer(call);
    }
  }

 private:
  static void method(GDBusConnection*, const gchar*, const gchar*, const gchar*, const gchar*,
                     GVariant*, GDBusMethodInvocation* call, gpointer self) {
    auto* s = static_cast<StandIn*>(self);
    ++s->questions;
    const bool app = std::string_view(g_dbus_method_invocation_get_object_path(call)) !=
                     "/org/a11y/atspi/accessible/root";
    // The invocation is ours until answered.
    if ((s->hangs_ && app) || s->holding) return s->held_.push_back(call);
    s->answer(call);
  }

  static GVariant* property(GDBusConnection*, const gchar*, const gchar* path, const gchar*,
                            const gchar*, GError**, gpointer self) {
    const Node& n = static_cast<StandIn*>(self)->nodes_.at(path);
    return g_variant_new_int32(static_cast<gint32>(n.content.size()));
  }

  void answer(GDBusMethodInvocation* call) {
    const std::string path = g_dbus_method_invocation_get_object_path(call);
    const std::string_view name = g_dbus_method_invocation_get_method_name(call);
    const Node& n = nodes_.at(path);
    const char* me = g_dbus_connection_get_unique_name(conn_.get());
    auto refs = [&](const std::vector<std::string>& paths) {
      GVariantBuilder b;
      g_variant_builder_init(&b, G_VARIANT_TYPE("a(so)"));
      for (const auto& p : paths) g_variant_builder_add(&b, "(so)", me, p.c_str());
      return g_variant_new("(a(so))", &b);
    };
    GVariant* reply = nullptr;
    if (name == "GetChildren") {
      reply = refs(n.children);
    } else if (name == "GetMatches") {
      reply = refs({"/entry"});
    } else if (name == "GetState") {
      GVariantBuilder b;
      g_variant_builder_init(&b, G_VARIANT_TYPE("au"));
      g_variant_builder_add(&b, "u", static_cast<guint32>(n.states));
      g_variant_builder_add(&b, "u", static_cast<guint32>(n.states >> 32));
      reply = g_variant_new("(au)", &b);
    } else if (name == "GetRole") {
      reply = g_variant_new("(u)", static_cast<guint32>(n.role));
    } else if (name == "GetInterfaces") {
      const gchar* all[] = {"org.a11y.atspi.Accessible", "org.a11y.atspi.Text",
                            "org.a11y.atspi.EditableText", nullptr};
      const gchar* plain[] = {"org.a11y.atspi.Accessible", nullptr};
      reply = g_variant_new("(^as)", n.text ? all : plain);
    } else if (name == "GetText") {
      gint32 from = 0, to = 0;
      g_variant_get(g_dbus_method_invocation_get_parameters(call), "(ii)", &from, &to);
      reply = g_variant_new("(s)", n.content.substr(from, to - from).c_str());
    }
    g_dbus_method_invocation_return_value(call, reply);
  }

  GObjectPtr<GDBusConnection> conn_;
  bool collection_;
  bool hangs_;
  GDBusNodeInfo* info_ = nullptr;
  std::map<std::string, Node> nodes_;
  std::vector<guint> ids_;
};

TEST(AccessibleFocus, AnswersWhileTheLoopKeepsTurning) {
  testing::PrivateBus bus;
  if (bus.address().empty()) GTEST_SKIP() << bus.why();
  struct Row {
    const char* what;
    bool collection, hangs;
    Paste::Field field;
    Paste::Before before;
  };
  const Row rows[] = {
      {"searched by the application", true, false, Paste::Field::editable, Paste::Before::word},
      {"walked to", false, false, Paste::Field::editable, Paste::Before::word},
      // Each question waits a limited time; an application that never answers tells nothing.
      {"never answering", true, true, Paste::Field::unknown, Paste::Before::unknown},
  };
  for (const Row& r : rows) {
    StandIn app(bus, r.collection, r.hangs);
    AccessibleFocus focus(defaultLoop(), {bus.address(), 0});
    std::optional<AccessibleFocus::Answer> answer;
    focus.ask([&](AccessibleFocus::Answer a) { answer = a; });
    // The first question waits for three turns of a timer: a search that blocked the loop
    // would never hear it.
    int ticks = 0;
    TimerHandle tick = defaultLoop().every(0.01, 0, [&] {
      if (++ticks == 3) app.release();
    });
    ASSERT_TRUE(testing::spinUntil([&] { return answer.has_value(); }, 5)) << r.what;
    EXPECT_GE(ticks, 3) << r.what;
    EXPECT_GT(app.questions, 0) << r.what;
    EXPECT_EQ(answer->field, r.field) << r.what;
    EXPECT_EQ(answer->before, r.before) << r.what;
  }
}

}  // namespace
}  // namespace talvane
