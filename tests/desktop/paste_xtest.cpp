// Dictated text pasted into real GTK windows and xterm on a private X session with its own
// session and accessibility buses: the text reaches the focused entry, terminals get
// Ctrl+Shift+V and xterm Shift+Insert, a focused button gets nothing, the clipboard the user had
// comes back with every form it held, and a paste nobody fetched stays on the clipboard.
// clang-format off
#include <gtest/gtest.h>
// clang-format on

#include <gio/gio.h>
#include <gtk/gtk.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>

#include "desktop/paster.h"
#include "desktop/x_session.h"
#include "platform/event_loop.h"
#include "platform/files.h"
#include "support/test_home.h"

namespace talvane {
namespace {

using testing::XSession;

const std::string kTarget = TALVANE_BIN_DIR "/paste_target";

// One X session, session bus and GTK for the whole process: GTK cannot move to another display
// once the first is gone.
struct Desk {
  XSession session;
  GPid bus = 0;
  bool ready = false;

  Desk() {
    if (!session.ok()) return;
    setenv("DISPLAY", session.name().c_str(), 1);
    unsetenv("WAYLAND_DISPLAY");
    // A bus of our own: accessibility must not reach the developer's desktop.
    gchar* argv[] = {const_cast<gchar*>("dbus-daemon"), const_cast<gchar*>("--session"),
                     const_cast<gchar*>("--nofork"), const_cast<gchar*>("--print-address=1"),
                     nullptr};
    gint out = -1;
    if (!g_spawn_async_with_pipes(nullptr, argv, nullptr, G_SPAWN_SEARCH_PATH, nullptr, nullptr,
                                  &bus, nullptr, &out, nullptr, nullptr))
      return;
    std::string address;
    char c;
    while (read(out, &c, 1) == 1 && c != '\n') address.push_back(c);
    close(out);
    if (address.empty()) return;
    setenv("DBUS_SESSION_BUS_ADDRESS", address.c_str(), 1);
    ready = gtk_init_check(nullptr, nullptr);
  }
  ~Desk() {
    if (bus > 0) {
      kill(bus, SIGTERM);
      waitpid(bus, nullptr, 0);
    }
  }
};

Desk& desk() {
  static Desk d;
  return d;
}

// Every form on the clipboard, read by another process while this one keeps serving its own.
std::string clipboardForms() {
  GError* error = nullptr;
  GSubprocess* p =
      g_subprocess_new(G_SUBPROCESS_FLAGS_STDOUT_PIPE, &error, kTarget.c_str(), "dump", nullptr);
  if (!p) {
    g_error_free(error);
    return "(no dump)";
  }
  std::string out;
  bool done = false;
  struct Wait {
    std::string* out;
    bool* done;
  } wait{&out, &done};
  g_subprocess_communicate_utf8_async(
      p, nullptr, nullptr,
      +[](GObject* source, GAsyncResult* result, gpointer user) {
        auto* w = static_cast<Wait*>(user);
        gchar* text = nullptr;
        g_subprocess_communicate_utf8_finish(G_SUBPROCESS(source), result, &text, nullptr, nullptr);
        if (text) *w->out = text;
        g_free(text);
        *w->done = true;
      },
      &wait);
  testing::runUntil([&] { return done; }, 20);
  g_object_unref(p);
  return out;
}

std::string fileText(const std::string& path) {
  std::ifstream in(path);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

std::string hex(const std::string& bytes) {
  std::string out;
  char two[3];
  for (unsigned char c : bytes) {
    std::snprintf(two, sizeof two, "%02x", c);
    out += two;
  }
  return out;
}

class PasteX11 : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!desk().session.ok()) GTEST_SKIP() << "Xvfb, xcompmgr or openbox could not be started";
    if (!desk().ready) GTEST_SKIP() << "no session bus (dbus-daemon) or GTK on the test display";
  }
  void TearDown() override {
    if (target_ > 0) XSession::terminate(target_);
    target_ = 0;
    // Let the window go before the next one comes.
    testing::runUntil([] { return !desk().session.findWindow("Paste target"); }, 10);
  }

  // Starts the helper and waits until its window has the keyboard and accessibility tells what
  // is focused in it.
  Paste::Facts start(const std::vector<std::string>& args, Paste::Field expected,
                     const std::vector<std::string>& env = {}) {
    std::vector<std::string> argv{kTarget};
    argv.insert(argv.end(), args.begin(), args.end());
    target_ = desk().session.launch(argv, env);
    Paste::Facts facts;
    testing::runUntil(
        [&] {
          if (auto w = desk().session.findWindow("Paste target"))
            desk().session.run("xdotool windowfocus " + std::to_string(*w));
          facts = factsNow();
          const bool entry = args[0] != "button";
          return facts.holder == Paste::Holder::other && facts.field == expected &&
                 (!entry || files::exists(dir.path() + "/focus"));
        },
        30);
    return facts;
  }

  // What the paster sees now, once accessibility has answered.
  Paste::Facts factsNow() {
    auto found = std::make_shared<std::optional<Paste::Facts>>();
    paster.facts([found](Paste::Facts f) { *found = f; });
    testing::runUntil([&] { return found->has_value(); }, 10);
    return found->value_or(Paste::Facts{});
  }

  // Pastes and waits for the answer.
  std::optional<bool> paste(const std::string& text) {
    std::optional<bool> pasted;
    paster.paste(text, [&](bool ok) { pasted = ok; });
    testing::runUntil([&] { return pasted.has_value(); }, 10);
    return pasted;
  }

  GLibLoop loop;
  Paster paster{loop};
  testing::TempDir dir;
  pid_t target_ = 0;
};

TEST_F(PasteX11, TextReachesTheFocusedEntryAndEveryFormOfTheClipboardComesBack) {
  auto facts = start({"entry", dir.path()}, Paste::Field::editable);
  ASSERT_EQ(facts.field, Paste::Field::editable) << "accessibility did not find the entry";
  EXPECT_FALSE(facts.terminalWindow);
  const std::string before = clipboardForms();
  ASSERT_NE(before.find("text/html\t"), std::string::npos) << before;
  ASSERT_NE(before.find("application/x-paste-test\t010002"), std::string::npos) << before;

  EXPECT_EQ(paste("Ship it now."), true);
  EXPECT_TRUE(
      testing::runUntil([&] { return fileText(dir.path() + "/text") == "Ship it now."; }, 10))
      << fileText(dir.path() + "/text");
  EXPECT_NE(fileText(dir.path() + "/keys").find("ctrl+v\n"), std::string::npos);

  testing::spin(Paster::kRestoreDelay + 0.3);
  EXPECT_EQ(clipboardForms(), before);

  // A paste while the text of the one before is still on the clipboard keeps the user's
  // clipboard, not that text.
  EXPECT_EQ(paste(" Again."), true);
  EXPECT_TRUE(testing::runUntil(
      [&] { return fileText(dir.path() + "/text") == "Ship it now. Again."; }, 10));
  EXPECT_EQ(paste(" And again."), true);
  EXPECT_TRUE(testing::runUntil(
      [&] { return fileText(dir.path() + "/text") == "Ship it now. Again. And again."; }, 10))
      << fileText(dir.path() + "/text");
  // Accessibility shows a word before the caret: the next dictation starts with a space.
  EXPECT_EQ(paste("Done."), true);
  EXPECT_TRUE(testing::runUntil(
      [&] { return fileText(dir.path() + "/text") == "Ship it now. Again. And again. Done."; }, 10))
      << fileText(dir.path() + "/text");
  testing::spin(Paster::kRestoreDelay + 0.3);
  EXPECT_EQ(clipboardForms(), before);
}

TEST_F(PasteX11, ATerminalGetsCtrlShiftVAndTheTextStaysWhenItDoesNotPaste) {
  auto facts = start({"entry", dir.path(), "kitty"}, Paste::Field::editable);
  ASSERT_EQ(facts.field, Paste::Field::editable);
  EXPECT_TRUE(facts.terminalWindow);
  // A GTK entry in a terminal's clothes: it takes no Ctrl+Shift+V, as xterm does not.
  EXPECT_EQ(paste("ls"), false);
  EXPECT_NE(fileText(dir.path() + "/keys").find("ctrl+shift+v\n"), std::string::npos)
      << fileText(dir.path() + "/keys");
  EXPECT_EQ(fileText(dir.path() + "/keys").find("ctrl+v\n"), std::string::npos);
  EXPECT_EQ(fileText(dir.path() + "/text"), "");
  testing::spin(Paster::kRestoreDelay + 0.3);
  EXPECT_NE(clipboardForms().find("UTF8_STRING\t" + hex("ls") + "\n"), std::string::npos);
}

TEST_F(PasteX11, XtermGetsTheTextThroughThePrimarySelectionAndShiftInsert) {
  KeptClipboard::offer({{"text/x-older", "text/x-older", 8, "older"}});
  const std::string before = clipboardForms();
  ASSERT_EQ(before, "text/x-older\t6f6c646572\n");
  target_ =
      desk().session.launch({"xterm", "-title", "Paste target", "-e", kTarget, "tty", dir.path()});
  Paste::Facts facts;
  testing::runUntil(
      [&] {
        if (auto w = desk().session.findWindow("Paste target"))
          desk().session.run("xdotool windowfocus " + std::to_string(*w));
        facts = factsNow();
        return facts.holder == Paste::Holder::other && facts.xtermWindow &&
               files::exists(dir.path() + "/focus");
      },
      30);
  ASSERT_TRUE(facts.xtermWindow) << "xterm did not come up with the keyboard";
  EXPECT_EQ(Paste::choose(facts), Paste::Way::shiftInsert);

  // A line break would run a command: it arrives as a space.
  EXPECT_EQ(paste("git status\nrm -rf ~"), true);
  EXPECT_TRUE(testing::runUntil(
      [&] { return fileText(dir.path() + "/text") == "git status rm -rf ~"; }, 10))
      << fileText(dir.path() + "/text");
  testing::spin(Paster::kRestoreDelay + 0.3);
  EXPECT_EQ(clipboardForms(), before);

  // The next dictation into the same window follows the last one as typing would.
  EXPECT_EQ(paste("Yes go ahead."), true);
  EXPECT_TRUE(testing::runUntil(
      [&] { return fileText(dir.path() + "/text") == "git status rm -rf ~ Yes go ahead."; }, 10))
      << fileText(dir.path() + "/text");
  testing::spin(Paster::kRestoreDelay + 0.3);
  EXPECT_EQ(clipboardForms(), before);
}

TEST_F(PasteX11, APasteTheTargetNeverFetchedLeavesTheTextOnTheClipboard) {
  start({"deaf", dir.path()}, Paste::Field::editable);
  ASSERT_NE(clipboardForms().find("text/html\t"), std::string::npos);
  EXPECT_EQ(paste("Keep these words."), false);
  EXPECT_NE(fileText(dir.path() + "/keys").find("ctrl+v\n"), std::string::npos);
  EXPECT_EQ(fileText(dir.path() + "/text"), "");
  testing::spin(Paster::kRestoreDelay + 0.3);
  const std::string after = clipboardForms();
  EXPECT_NE(after.find("UTF8_STRING\t" + hex("Keep these words.")), std::string::npos) << after;
  EXPECT_EQ(after.find("text/html"), std::string::npos) << after;
}

TEST_F(PasteX11, AFocusedButtonGetsNothingAndTheClipboardIsLeftAlone) {
  auto facts = start({"button"}, Paste::Field::other);
  ASSERT_EQ(facts.field, Paste::Field::other) << "accessibility did not find the button";
  const std::string before = clipboardForms();
  EXPECT_EQ(paste("lost words"), false);
  testing::spin(Paster::kRestoreDelay + 0.3);
  EXPECT_EQ(clipboardForms(), before);
}

TEST_F(PasteX11, AnApplicationWithoutAccessibilityIsJudgedByTheXFocus) {
  // GTK without its accessibility bridge answers nothing, like xterm.
  auto facts = start({"entry", dir.path()}, Paste::Field::unknown, {"NO_AT_BRIDGE=1"});
  ASSERT_EQ(facts.holder, Paste::Holder::other);
  ASSERT_EQ(facts.field, Paste::Field::unknown);
  const std::string before = clipboardForms();
  EXPECT_EQ(paste("Still typed."), true);
  EXPECT_TRUE(
      testing::runUntil([&] { return fileText(dir.path() + "/text") == "Still typed."; }, 10));
  testing::spin(Paster::kRestoreDelay + 0.3);
  EXPECT_EQ(clipboardForms(), before);
}

TEST_F(PasteX11, AnEmptyClipboardIsEmptyAgain) {
  // Whatever an earlier test in this process left on it goes first.
  gtk_clipboard_clear(gtk_clipboard_get(GDK_SELECTION_CLIPBOARD));
  ASSERT_EQ(clipboardForms(), "");
  start({"bare-entry", dir.path()}, Paste::Field::editable);
  EXPECT_EQ(paste("Only this."), true);
  EXPECT_TRUE(
      testing::runUntil([&] { return fileText(dir.path() + "/text") == "Only this."; }, 10));
  testing::spin(Paster::kRestoreDelay + 0.3);
  EXPECT_EQ(clipboardForms(), "");
}

TEST_F(PasteX11, SomethingCopiedWhileTheTextIsOnTheClipboardIsNotOverwritten) {
  KeptClipboard::offer({{"text/x-older", "text/x-older", 8, "older"}});
  ASSERT_EQ(clipboardForms(), "text/x-older\t6f6c646572\n");
  KeptClipboard kept(loop);
  bool ready = false;
  kept.hold("dictated", [&] { ready = true; });
  ASSERT_TRUE(testing::runUntil([&] { return ready; }, 5));
  // The user copies in another application before the clipboard is put back.
  start({"entry", dir.path()}, Paste::Field::editable);
  const std::string copied = clipboardForms();
  ASSERT_NE(copied.find("text/html\t"), std::string::npos) << copied;
  kept.restore();
  EXPECT_EQ(clipboardForms(), copied);
}

// Our text stays on the clipboard after the keeper is gone; a read it started must not call back.
TEST_F(PasteX11, AReadStartedByAKeeperThatIsGoneDoesNotCallBack) {
  bool late = false;
  {
    KeptClipboard kept(loop);
    bool ready = false;
    kept.hold("first", [&] { ready = true; });
    ASSERT_TRUE(testing::runUntil([&] { return ready; }, 5));
    kept.keep();
    kept.hold("second", [&] { late = true; });
  }
  testing::spin(KeptClipboard::kReadLimit + 0.3);
  EXPECT_FALSE(late);
}

TEST_F(PasteX11, OurOwnWindowNeverGetsTheText) {
  GtkWidget* window = gtk_window_new(GTK_WINDOW_TOPLEVEL);
  gtk_window_set_title(GTK_WINDOW(window), "Ours");
  gtk_container_add(GTK_CONTAINER(window), gtk_entry_new());
  gtk_widget_show_all(window);
  Paste::Facts facts;
  testing::runUntil(
      [&] {
        if (auto w = desk().session.findWindow("Ours"))
          desk().session.run("xdotool windowfocus " + std::to_string(*w));
        facts = factsNow();
        return facts.holder == Paste::Holder::ours;
      },
      30);
  EXPECT_EQ(facts.holder, Paste::Holder::ours);
  EXPECT_EQ(paste("not here"), false);
  gtk_widget_destroy(window);
  testing::runUntil([] { return !desk().session.findWindow("Ours"); }, 10);
}

TEST_F(PasteX11, OnWaylandWtypeTypesTheTextOrTheCallerCopies) {
  const std::string typed = dir.path() + "/typed";
  const std::string bin = dir.path() + "/bin";
  files::makeDirs(bin);
  const std::string oldPath = std::getenv("PATH") ? std::getenv("PATH") : "";
  setenv("WAYLAND_DISPLAY", "wayland-test", 1);
  setenv("PATH", (bin + ":" + oldPath).c_str(), 1);
  struct Row {
    const char* script;
    bool pasted;
  };
  const Row rows[] = {
      {"#!/bin/sh\n[ \"$1\" = - ] && cat > '%s'\n", true},
      {"#!/bin/sh\necho 'compositor does not support the virtual keyboard protocol' >&2\nexit 1\n",
       false},
  };
  for (const Row& r : rows) {
    std::remove(typed.c_str());
    char script[512];
    std::snprintf(script, sizeof script, r.script, typed.c_str());
    std::ofstream(bin + "/wtype") << script;
    chmod((bin + "/wtype").c_str(), 0755);
    EXPECT_TRUE(factsNow().wtype);
    EXPECT_EQ(paste("-k ctrl; rm -rf ~"), r.pasted) << r.script;
    if (r.pasted) {
      EXPECT_EQ(fileText(typed), "-k ctrl; rm -rf ~");
    }
  }
  std::remove((bin + "/wtype").c_str());
  setenv("PATH", bin.c_str(), 1);
  EXPECT_FALSE(factsNow().wtype);
  EXPECT_EQ(paste("words"), false);
  setenv("PATH", oldPath.c_str(), 1);
  unsetenv("WAYLAND_DISPLAY");
}

}  // namespace
}  // namespace talvane
