#include "desktop/paster.h"

#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/XTest.h>
#include <X11/keysym.h>
#include <gdk/gdkx.h>
#include <gio/gio.h>
#include <gtk/gtk.h>

#include <cstdlib>
#include <utility>
#include <vector>

#include "platform/gobject.h"
#include "platform/log.h"

namespace talvane {

namespace {

bool waylandSession() {
  const char* w = std::getenv("WAYLAND_DISPLAY");
  return w && *w;
}

Display* xdisplay() {
  GdkDisplay* d = gdk_display_get_default();
  if (!d || !GDK_IS_X11_DISPLAY(d)) return nullptr;
  return gdk_x11_display_get_xdisplay(d);
}

// Who has the X keyboard, and whether that window is a terminal's.
void xFocus(Paste::Facts& facts) {
  Display* d = xdisplay();
  if (!d) return;
  GdkDisplay* display = gdk_display_get_default();
  gdk_x11_display_error_trap_push(display);
  Window focus = 0;
  int revert = 0;
  XGetInputFocus(d, &focus, &revert);
  if (focus != None && focus != PointerRoot) {
    facts.holder = Paste::Holder::other;
    facts.window = focus;
    bool named = false;
    const Window root = DefaultRootWindow(d);
    for (Window w = focus; w && w != root;) {
      GdkWindow* known = gdk_x11_window_lookup_for_display(display, w);
      if (known && gdk_window_get_window_type(known) != GDK_WINDOW_FOREIGN) {
        facts.holder = Paste::Holder::ours;
        break;
      }
      XClassHint hint{};
      if (!named && XGetClassHint(d, w, &hint)) {
        named = true;
        facts.terminalWindow = (hint.res_name && Paste::terminalClass(hint.res_name)) ||
                               (hint.res_class && Paste::terminalClass(hint.res_class));
        facts.xtermWindow = (hint.res_name && Paste::xtermClass(hint.res_name)) ||
                            (hint.res_class && Paste::xtermClass(hint.res_class));
        facts.window = w;
        if (hint.res_name) XFree(hint.res_name);
        if (hint.res_class) XFree(hint.res_class);
      }
      Window rootOut = 0, parent = 0, *children = nullptr;
      unsigned int count = 0;
      if (!XQueryTree(d, w, &rootOut, &parent, &children, &count)) break;
      if (children) XFree(children);
      w = parent;
    }
  }
  gdk_x11_display_error_trap_pop_ignored(display);
}

bool sendKeys(Paste::Way way) {
  Display* d = xdisplay();
  int event = 0, error = 0, major = 0, minor = 0;
  if (!d || !XTestQueryExtension(d, &event, &error, &major, &minor)) return false;
  std::vector<KeySym> syms;
  switch (way) {
    case Paste::Way::ctrlV:
      syms = {XK_Control_L, XK_v};
      break;
    case Paste::Way::ctrlShiftV:
      syms = {XK_Control_L, XK_Shift_L, XK_v};
      break;
    case Paste::Way::shiftInsert:
      syms = {XK_Shift_L, XK_Insert};
      break;
    case Paste::Way::copy:
    case Paste::Way::wtype:
      return false;
  }
  std::vector<KeyCode> chord;
  for (KeySym sym : syms) {
    const KeyCode code = XKeysymToKeycode(d, sym);
    if (!code) return false;
    chord.push_back(code);
  }
  for (KeyCode k : chord) XTestFakeKeyEvent(d, k, True, CurrentTime);
  for (auto it = chord.rbegin(); it != chord.rend(); ++it)
    XTestFakeKeyEvent(d, *it, False, CurrentTime);
  XFlush(d);
  return true;
}

}  // namespace

Paster::Paster(EventLoop& loop, AccessibleFocus::Options accessibility)
    : loop_(loop),
      focus_(loop, std::move(accessibility)),
      clipboard_(loop),
      primary_(loop, KeptClipboard::Selection::primary) {}

Paster::~Paster() {
  // A paste still unconfirmed at the end gives the user's clipboard back.
  if (!std::exchange(settle_, nullptr)) return;
  primary_.restore();
  clipboard_.restore();
}

void Paster::facts(std::function<void(Paste::Facts)> done) {
  std::weak_ptr<char> weak = alive_;
  focus_.ask([weak, done = std::move(done)](AccessibleFocus::Answer answer) {
    if (!weak.lock()) return;
    Paste::Facts f;
    f.wayland = waylandSession();
    f.field = answer.field;
    f.before = answer.before;
    if (f.wayland) {
      GCharPtr found(g_find_program_in_path("wtype"));
      f.wtype = found != nullptr;
    } else {
      xFocus(f);
    }
    done(f);
  });
}

void Paster::paste(const std::string& dictated, std::function<void(bool)> done) {
  waiting_.push_back({dictated, std::move(done)});
  if (!asking_) askNext();
}

void Paster::askNext() {
  if (waiting_.empty()) return;
  asking_ = true;
  std::weak_ptr<char> weak = alive_;
  facts([this, weak](Paste::Facts f) {
    if (!weak.lock()) return;
    asking_ = false;
    Waiting next = std::move(waiting_.front());
    waiting_.pop_front();
    pasteWith(f, next.text, std::move(next.done));
    if (weak.lock() && !asking_) askNext();
  });
}

void Paster::pasteWith(Paste::Facts f, const std::string& dictated,
                       std::function<void(bool)> done) {
  const Paste::Way way = Paste::choose(f);
  log::debug("paste", "field " + std::to_string(static_cast<int>(f.field)) + ", holder " +
                          std::to_string(static_cast<int>(f.holder)) + ", terminal " +
                          std::to_string(f.terminalWindow) + ", xterm " +
                          std::to_string(f.xtermWindow) + ", wayland " + std::to_string(f.wayland) +
                          " -> way " + std::to_string(static_cast<int>(way)));
  // Windows that tell nothing of their caret: a dictation right after our own last one into
  // the same window follows it as typed words would.
  if (f.before == Paste::Before::unknown && f.window && f.window == last_.window)
    f.before = last_.endsInWord ? Paste::Before::word : Paste::Before::nothing;
  // A paste still waiting to learn whether it arrived is decided now, before this one takes
  // the clipboard.
  confirm_.cancel();
  if (auto settle = std::exchange(settle_, nullptr)) settle();
  const std::string text = Paste::separated(Paste::typeable(dictated), f.before);
  if (text.empty() || way == Paste::Way::copy) return done(false);
  std::weak_ptr<char> weak = alive_;
  auto typed = [this, weak, window = f.window, text, done = std::move(done)](bool ok) {
    if (!weak.lock()) return;
    last_ = ok ? Last{window, text.back() != ' '} : Last{};
    done(ok);
  };
  if (way == Paste::Way::wtype) return typeOnWayland(text, std::move(typed));
  // The text goes on both selections: xterm's Shift+Insert reads the primary one.
  clipboard_.hold(text, [this, weak, way, text, typed = std::move(typed)]() mutable {
    if (!weak.lock()) return;
    primary_.hold(text, [this, weak, way, typed = std::move(typed)]() mutable {
      if (!weak.lock()) return;
      const unsigned long fetched = clipboard_.served() + primary_.served();
      if (!sendKeys(way)) {
        primary_.restore();
        clipboard_.keep();
        return typed(false);
      }
      // Only a target that fetched the text took it. Otherwise the text stays on the
      // clipboard and the caller says so, rather than putting back the old contents over it.
      settle_ = [this, fetched, typed = std::move(typed)] {
        const bool pasted = clipboard_.served() + primary_.served() > fetched;
        primary_.restore();
        if (pasted)
          clipboard_.restore();
        else
          clipboard_.keep();
        typed(pasted);
      };
      confirm_ = loop_.after(kRestoreDelay, [this, weak] {
        if (!weak.lock()) return;
        if (auto settle = std::exchange(settle_, nullptr)) settle();
      });
    });
  });
}

void Paster::typeOnWayland(const std::string& text, std::function<void(bool)> done) {
  GError* error = nullptr;
  GSubprocess* process =
      g_subprocess_new(static_cast<GSubprocessFlags>(G_SUBPROCESS_FLAGS_STDIN_PIPE |
                                                     G_SUBPROCESS_FLAGS_STDOUT_SILENCE |
                                                     G_SUBPROCESS_FLAGS_STDERR_PIPE),
                       &error, "wtype", "-", nullptr);
  GErrorPtr failed(error);
  if (!process) {
    log::line("Talvane: cannot run wtype: " + std::string(failed->message));
    return done(false);
  }
  struct Typing {
    std::function<void(bool)> done;
  };
  GBytes* input = g_bytes_new(text.data(), text.size());
  auto typing = std::make_unique<Typing>(Typing{std::move(done)});
  g_subprocess_communicate_async(
      process, input, nullptr,
      +[](GObject* source, GAsyncResult* result, gpointer user) {
        std::unique_ptr<Typing> typing(static_cast<Typing*>(user));
        GObjectPtr<GSubprocess> process(G_SUBPROCESS(source));
        try {
          GBytes* err = nullptr;
          GError* error = nullptr;
          const bool talked =
              g_subprocess_communicate_finish(process.get(), result, nullptr, &err, &error);
          GErrorPtr failed(error);
          const bool ok = talked && g_subprocess_get_if_exited(process.get()) &&
                          g_subprocess_get_exit_status(process.get()) == 0;
          if (!ok) {
            std::string why = failed ? failed->message : "";
            if (err) {
              gsize size = 0;
              const char* bytes = static_cast<const char*>(g_bytes_get_data(err, &size));
              if (bytes) why.assign(bytes, size);
            }
            while (!why.empty() && (why.back() == '\n' || why.back() == ' ')) why.pop_back();
            log::line("Talvane: wtype could not type the dictation: " + why);
          }
          if (err) g_bytes_unref(err);
          typing->done(ok);
        } catch (const std::exception& e) {
          log::line(std::string("Talvane: typing the dictation failed: ") + e.what());
        }
      },
      typing.release());
  g_bytes_unref(input);
}

}  // namespace talvane
