#include "voice/x11_hot_keys.h"

#include <X11/Xlib.h>
#include <X11/keysym.h>
#include <glib-unix.h>

#include "platform/gobject.h"
#include "platform/log.h"
#include "platform/signal_connection.h"

namespace talvane {

namespace {

// Set by the error handler while grabs are checked: another client holds the combination.
bool gGrabRefused = false;

int noteRefusal(Display*, XErrorEvent* e) {
  if (e->error_code == BadAccess) gGrabRefused = true;
  return 0;
}

constexpr unsigned int kLockVariants[] = {0, LockMask, Mod2Mask, LockMask | Mod2Mask};

}  // namespace

std::optional<unsigned long> keysymForCode(std::uint32_t code) {
  auto name = HotKey::name(code);
  if (!name) return std::nullopt;
  const std::string_view n = *name;
  if (n.size() == 4 && n.substr(0, 3) == "Key") return XK_a + (n[3] - 'A');
  if (n.size() == 6 && n.substr(0, 5) == "Digit") return XK_0 + (n[5] - '0');
  if (n.size() >= 2 && n[0] == 'F' && n[1] >= '0' && n[1] <= '9')
    return XK_F1 + (std::stoi(std::string(n.substr(1))) - 1);
  static const std::map<std::string_view, unsigned long> others = {
      {"Space", XK_space},
      {"Period", XK_period},
      {"Comma", XK_comma},
      {"Slash", XK_slash},
      {"Semicolon", XK_semicolon},
      {"Quote", XK_apostrophe},
      {"BracketLeft", XK_bracketleft},
      {"BracketRight", XK_bracketright},
      {"Backquote", XK_grave},
      {"Minus", XK_minus},
      {"Equal", XK_equal},
  };
  auto it = others.find(n);
  if (it == others.end()) return std::nullopt;
  return it->second;
}

unsigned int x11Modifiers(std::uint32_t mods) {
  unsigned int x = 0;
  if (mods & HotKey::Mods::shift) x |= ShiftMask;
  if (mods & HotKey::Mods::control) x |= ControlMask;
  if (mods & HotKey::Mods::option) x |= Mod1Mask;
  if (mods & HotKey::Mods::command) x |= Mod4Mask;
  return x;
}

struct X11HotKeys::Impl {
  EventLoop& loop;
  Display* display = nullptr;
  SourceId watch;
  std::map<HotKey::Action, std::function<void()>> actions;
  std::function<HotKey::Combo(HotKey::Action)> combo;
  struct Grab {
    HotKey::Action action;
    int keycode;
    unsigned int mods;
  };
  std::vector<Grab> grabs;
  std::shared_ptr<char> alive = std::make_shared<char>();

  explicit Impl(EventLoop& l) : loop(l) {}
  ~Impl() {
    watch.reset();  // before its descriptor closes
    if (display) XCloseDisplay(display);
  }

  void ungrab() {
    if (!display) return;
    Window root = DefaultRootWindow(display);
    for (const Grab& g : grabs)
      for (unsigned int lock : kLockVariants) XUngrabKey(display, g.keycode, g.mods | lock, root);
    grabs.clear();
    XSync(display, False);
  }

  // True when every variant was grabbed; otherwise none of them stays.
  bool grab(HotKey::Action action, HotKey::Combo c) {
    auto sym = keysymForCode(c.code);
    if (!sym) return false;
    const int keycode = XKeysymToKeycode(display, *sym);
    if (keycode == 0) return false;
    const unsigned int mods = x11Modifiers(c.mods);
    Window root = DefaultRootWindow(display);
    XSync(display, False);
    gGrabRefused = false;
    auto previous = XSetErrorHandler(noteRefusal);
    for (unsigned int lock : kLockVariants)
      XGrabKey(display, keycode, mods | lock, root, False, GrabModeAsync, GrabModeAsync);
    XSync(display, False);
    XSetErrorHandler(previous);
    if (gGrabRefused) {
      for (unsigned int lock : kLockVariants) XUngrabKey(display, keycode, mods | lock, root);
      XSync(display, False);
      return false;
    }
    grabs.push_back({action, keycode, mods});
    return true;
  }

  void drain() {
    while (XPending(display)) {
      XEvent ev;
      XNextEvent(display, &ev);
      if (ev.type != KeyPress) continue;
      const unsigned int state = ev.xkey.state & ~(LockMask | Mod2Mask);
      for (const Grab& g : grabs) {
        if (g.keycode != static_cast<int>(ev.xkey.keycode) || g.mods != state) continue;
        std::weak_ptr<char> weak = alive;
        loop.post([this, weak, action = g.action] {
          if (!weak.lock()) return;
          auto it = actions.find(action);
          if (it != actions.end() && it->second) it->second();
        });
      }
    }
  }
};

X11HotKeys::X11HotKeys(EventLoop& loop, const std::string& displayName)
    : impl_(std::make_unique<Impl>(loop)) {
  impl_->display = XOpenDisplay(displayName.empty() ? nullptr : displayName.c_str());
  if (!impl_->display) return;
  impl_->watch = SourceId(g_unix_fd_add(
      ConnectionNumber(impl_->display), G_IO_IN,
      +[](int, GIOCondition, gpointer data) -> gboolean {
        guardCallback("the hot keys", [data] { static_cast<Impl*>(data)->drain(); });
        return G_SOURCE_CONTINUE;
      },
      impl_.get()));
}

X11HotKeys::~X11HotKeys() = default;

bool X11HotKeys::available() const { return impl_->display != nullptr; }

void X11HotKeys::install(std::map<HotKey::Action, std::function<void()>> actions,
                         std::function<HotKey::Combo(HotKey::Action)> combo) {
  impl_->actions = std::move(actions);
  impl_->combo = std::move(combo);
  reload();
}

std::vector<HotKey::Action> X11HotKeys::reload() {
  pause();
  std::vector<HotKey::Action> refused;
  if (!impl_->display || !impl_->combo) return refused;
  for (HotKey::Action action : HotKey::kAllActions) {
    const HotKey::Combo c = impl_->combo(action);
    if (impl_->grab(action, c)) continue;
    refused.push_back(action);
    log::line("Talvane: the shortcut " + HotKey::label(c) +
              " is taken by another program; choose another in the settings");
  }
  return refused;
}

void X11HotKeys::pause() { impl_->ungrab(); }

}  // namespace talvane
