#include "desktop/accessible_focus.h"

#include <atspi/atspi-constants.h>
#include <atspi/atspi.h>

#include <cstdint>
#include <cstdlib>
#include <utility>

#include "platform/log.h"
#include "platform/session_bus.h"
#include "platform/user_data.h"

namespace talvane {

namespace {

constexpr const char* kRegistry = "org.a11y.atspi.Registry";
constexpr const char* kRoot = "/org/a11y/atspi/accessible/root";
constexpr const char* kNull = "/org/a11y/atspi/null";
constexpr const char* kAccessible = "org.a11y.atspi.Accessible";
constexpr const char* kCollection = "org.a11y.atspi.Collection";
constexpr const char* kText = "org.a11y.atspi.Text";
constexpr const char* kEditableText = "org.a11y.atspi.EditableText";
// Elements looked at when an application offers no search of its own.
constexpr int kWalkLimit = 600;

struct GVariantUnref {
  void operator()(GVariant* v) const {
    if (v) g_variant_unref(v);
  }
};
using Variant = std::unique_ptr<GVariant, GVariantUnref>;

// An accessible object: the bus name of its application and its path there.
struct Ref {
  std::string name;
  std::string path;
};

std::vector<Ref> refsIn(GVariant* reply) {
  std::vector<Ref> out;
  GVariantIter* iter = nullptr;
  g_variant_get(reply, "(a(so))", &iter);
  const gchar* name = nullptr;
  const gchar* path = nullptr;
  while (g_variant_iter_next(iter, "(&s&o)", &name, &path))
    if (std::string_view(path) != kNull) out.push_back({name, path});
  g_variant_iter_free(iter);
  return out;
}

// AT-SPI sends a state set as two 32-bit words.
struct States {
  std::uint64_t bits = 0;
  bool has(AtspiStateType s) const { return (bits >> static_cast<unsigned>(s)) & 1U; }
};

States statesIn(GVariant* reply) {
  States out;
  GVariantIter* iter = nullptr;
  g_variant_get(reply, "(au)", &iter);
  guint32 word = 0;
  for (unsigned i = 0; i < 2 && g_variant_iter_next(iter, "u", &word); ++i)
    out.bits |= static_cast<std::uint64_t>(word) << (32 * i);
  g_variant_iter_free(iter);
  return out;
}

// A rule that matches whatever has the keyboard, as AT-SPI's collections take it.
GVariant* focusedRule() {
  GVariantBuilder states;
  g_variant_builder_init(&states, G_VARIANT_TYPE("ai"));
  const std::uint64_t focused = std::uint64_t{1} << ATSPI_STATE_FOCUSED;
  g_variant_builder_add(&states, "i", static_cast<gint32>(focused & 0xffffffffU));
  g_variant_builder_add(&states, "i", static_cast<gint32>(focused >> 32));
  GVariantBuilder roles;
  g_variant_builder_init(&roles, G_VARIANT_TYPE("ai"));
  for (int i = 0; i < 4; ++i) g_variant_builder_add(&roles, "i", 0);
  const gint32 all = ATSPI_Collection_MATCH_ALL;
  return g_variant_new("((aiia{ss}iaiiasib)uib)", &states, all, nullptr, all, &roles, all, nullptr,
                       all, FALSE, static_cast<guint32>(ATSPI_Collection_SORT_ORDER_CANONICAL), 1,
                       TRUE);
}

}  // namespace

// One search, kept alive by the call it waits for; it answers once, then drops every reply.
struct AccessibleFocus::Search : std::enable_shared_from_this<Search> {
  using Reply = std::function<void(GVariant* reply)>;  // null when the call failed

  std::shared_ptr<GObjectPtr<GDBusConnection>> shared;
  GDBusConnection* bus = nullptr;  // held by busRef, as another search may replace `shared`
  GObjectPtr<GDBusConnection> busRef;
  GObjectPtr<GCancellable> cancel{g_cancellable_new()};
  std::function<void(Answer)> done;
  TimerHandle deadline;
  std::string address;
  unsigned self = 0;
  // Where the search is.
  std::vector<Ref> apps;
  std::size_t app = 0;
  std::vector<Ref> windows;
  std::size_t window = 0;
  std::vector<Ref> stack;
  int seen = 0;
  Answer answer;

  void finish(Answer a = {}) {
    if (!done) return;
    g_cancellable_cancel(cancel.get());
    deadline.cancel();
    std::exchange(done, nullptr)(a);
  }
  void abandon() {
    done = nullptr;
    g_cancellable_cancel(cancel.get());
    deadline.cancel();
  }

  // A reply comes back through `then`, unless the search has ended.
  template <typename Start>
  void await(Start start, Reply then) {
    struct Pending {
      std::shared_ptr<Search> search;
      Reply then;
    };
    start(
        +[](GObject* source, GAsyncResult* result, gpointer data) {
          const Pending p = UserData<Pending>::take(data);
          GError* error = nullptr;
          Variant reply(g_dbus_connection_call_finish(G_DBUS_CONNECTION(source), result, &error));
          GErrorPtr failed(error);
          if (!p.search->done) return;
          try {
            p.then(reply.get());
          } catch (const std::exception& e) {
            log::line(std::string("Talvane: accessibility search failed: ") + e.what());
            p.search->finish();
          } catch (...) {
            p.search->finish();
          }
        },
        UserData<Pending>::hold(Pending{shared_from_this(), std::move(then)}));
  }

  void call(const Ref& to, const char* iface, const char* method, GVariant* params,
            const char* type, Reply then) {
    await(
        [&](GAsyncReadyCallback cb, gpointer data) {
          g_dbus_connection_call(bus, to.name.c_str(), to.path.c_str(), iface, method, params,
                                 G_VARIANT_TYPE(type), G_DBUS_CALL_FLAGS_NO_AUTO_START, kAskMs,
                                 cancel.get(), cb, data);
        },
        std::move(then));
  }

  void use(GDBusConnection* connection) {
    busRef.reset(static_cast<GDBusConnection*>(g_object_ref(connection)));
    bus = connection;
  }

  // The bus first, when none is open.
  void start() {
    if (*shared && !g_dbus_connection_is_closed(shared->get())) {
      use(shared->get());
      return askRegistry();
    }
    if (const char* env = std::getenv("AT_SPI_BUS_ADDRESS"); address.empty() && env && *env)
      address = env;
    if (!address.empty()) return open(address);
    // The session bus names the accessibility bus; without a session bus nobody is asked.
    auto self = shared_from_this();
    if (!connectToBus("", cancel.get(),
                      [self](GObjectPtr<GDBusConnection> session, const std::string&) {
                        if (self->done) self->askAddress(session.get());
                      }))
      finish();
  }

  void askAddress(GDBusConnection* session) {
    if (!session) return finish();
    await(
        [&](GAsyncReadyCallback cb, gpointer data) {
          g_dbus_connection_call(session, "org.a11y.Bus", "/org/a11y/bus", "org.a11y.Bus",
                                 "GetAddress", nullptr, G_VARIANT_TYPE("(s)"),
                                 G_DBUS_CALL_FLAGS_NONE, kAskMs, cancel.get(), cb, data);
        },
        [this](GVariant* reply) {
          if (!reply) return finish();
          const gchar* found = nullptr;
          g_variant_get(reply, "(&s)", &found);
          if (!found || !*found) return finish();
          open(found);
        });
  }

  void open(const std::string& at) {
    auto self = shared_from_this();
    connectToBus(
        at, cancel.get(), [self](GObjectPtr<GDBusConnection> opened, const std::string& why) {
          if (!self->done) return;
          if (!opened) {
            log::debug("paste", "no accessibility bus: " + (why.empty() ? "unknown error" : why));
            return self->finish();
          }
          self->use(opened.get());
          *self->shared = std::move(opened);
          self->askRegistry();
        });
  }

  void askRegistry() {
    call({kRegistry, kRoot}, kAccessible, "GetChildren", nullptr, "(a(so))", [this](GVariant* r) {
      if (!r) return finish();
      apps = refsIn(r);
      app = 0;
      nextApp();
    });
  }

  void nextApp() {
    if (app >= apps.size()) return finish();
    const Ref& a = apps[app++];
    call({"org.freedesktop.DBus", "/org/freedesktop/DBus"}, "org.freedesktop.DBus",
         "GetConnectionUnixProcessID", g_variant_new("(s)", a.name.c_str()), "(u)",
         [this, a](GVariant* r) {
           guint32 pid = 0;
           if (r) g_variant_get(r, "(u)", &pid);
           if (!r || pid == self) return nextApp();
           call(a, kAccessible, "GetChildren", nullptr, "(a(so))", [this](GVariant* r) {
             windows = r ? refsIn(r) : std::vector<Ref>{};
             window = 0;
             nextWindow();
           });
         });
  }

  void nextWindow() {
    if (window >= windows.size()) return nextApp();
    const Ref w = windows[window++];
    call(w, kAccessible, "GetState", nullptr, "(au)", [this, w](GVariant* r) {
      if (!r || !statesIn(r).has(ATSPI_STATE_ACTIVE)) return nextWindow();
      focusedIn(w);
    });
  }

  // The application's own search when it has one, else a bounded walk through what is showing.
  void focusedIn(const Ref& w) {
    call(w, kCollection, "GetMatches", focusedRule(), "(a(so))", [this, w](GVariant* r) {
      if (r) {
        auto found = refsIn(r);
        if (found.empty()) return finish();
        return describe(found.front());
      }
      stack = {w};
      seen = 0;
      walk();
    });
  }

  void walk() {
    if (stack.empty() || seen >= kWalkLimit) return finish();
    const Ref a = std::move(stack.back());
    stack.pop_back();
    const bool top = seen++ == 0;
    call(a, kAccessible, "GetState", nullptr, "(au)", [this, a, top](GVariant* r) {
      if (!r) return walk();
      const States s = statesIn(r);
      if (s.has(ATSPI_STATE_FOCUSED)) return describe(a);
      if ((!top && !s.has(ATSPI_STATE_SHOWING)) || s.has(ATSPI_STATE_MANAGES_DESCENDANTS))
        return walk();
      call(a, kAccessible, "GetChildren", nullptr, "(a(so))", [this](GVariant* r) {
        if (r) {
          auto children = refsIn(r);
          // The first child is looked at first.
          stack.insert(stack.end(), children.rbegin(), children.rend());
        }
        walk();
      });
    });
  }

  // The focused element's kind, then what precedes its caret.
  void describe(const Ref& f) {
    call(f, kAccessible, "GetRole", nullptr, "(u)", [this, f](GVariant* r) {
      if (!r) return finish();
      guint32 role = 0;
      g_variant_get(r, "(u)", &role);
      call(f, kAccessible, "GetInterfaces", nullptr, "(as)", [this, f, role](GVariant* r) {
        bool text = false, editableText = false;
        if (r) {
          GVariantIter* iter = nullptr;
          g_variant_get(r, "(as)", &iter);
          const gchar* name = nullptr;
          while (g_variant_iter_next(iter, "&s", &name)) {
            text = text || std::string_view(name) == kText;
            editableText = editableText || std::string_view(name) == kEditableText;
          }
          g_variant_iter_free(iter);
        }
        call(f, kAccessible, "GetState", nullptr, "(au)",
             [this, f, role, text, editableText](GVariant* r) {
               const bool editable = editableText && r && statesIn(r).has(ATSPI_STATE_EDITABLE);
               GCharPtr name(atspi_role_get_name(static_cast<AtspiRole>(role)));
               answer.field = Paste::field(name ? name.get() : "", editable);
               if (!text) return finish(answer);
               caret(f);
             });
      });
    });
  }

  void caret(const Ref& f) {
    call(f, "org.freedesktop.DBus.Properties", "Get", g_variant_new("(ss)", kText, "CaretOffset"),
         "(v)", [this, f](GVariant* r) {
           if (!r) return finish(answer);
           Variant value;
           {
             GVariant* inner = nullptr;
             g_variant_get(r, "(v)", &inner);
             value.reset(inner);
           }
           if (!value || !g_variant_is_of_type(value.get(), G_VARIANT_TYPE_INT32))
             return finish(answer);
           const gint32 at = g_variant_get_int32(value.get());
           if (at < 0) return finish(answer);
           if (at == 0) {
             answer.before = Paste::Before::nothing;
             return finish(answer);
           }
           call(f, kText, "GetText", g_variant_new("(ii)", at - 1, at), "(s)", [this](GVariant* r) {
             if (r) {
               const gchar* last = nullptr;
               g_variant_get(r, "(&s)", &last);
               const gunichar c = g_utf8_get_char(last);
               answer.before =
                   !*last || g_unichar_isspace(c) ? Paste::Before::nothing : Paste::Before::word;
             }
             finish(answer);
           });
         });
  }
};

AccessibleFocus::AccessibleFocus(EventLoop& loop) : AccessibleFocus(loop, Options{}) {}

AccessibleFocus::AccessibleFocus(EventLoop& loop, Options options)
    : loop_(loop), options_(std::move(options)) {}

AccessibleFocus::~AccessibleFocus() {
  for (auto& weak : running_)
    if (auto search = weak.lock()) search->abandon();
}

void AccessibleFocus::ask(std::function<void(Answer)> done) {
  std::erase_if(running_, [](const std::weak_ptr<Search>& s) { return s.expired(); });
  auto search = std::make_shared<Search>();
  search->shared = bus_;
  search->done = std::move(done);
  search->address = options_.busAddress;
  search->self = options_.self;
  std::weak_ptr<Search> weak = search;
  search->deadline = loop_.after(kSearchSeconds, [weak] {
    if (auto s = weak.lock()) s->finish();
  });
  running_.push_back(weak);
  search->start();
}

}  // namespace talvane
