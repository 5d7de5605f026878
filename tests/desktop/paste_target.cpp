// A small GTK program for the paste tests, run on the test's X session:
//   paste_target entry DIR [CLASS]  a window "Paste target" with a focused text entry (and the
//                                   window class CLASS); writes the entry's text to DIR/text, the
//                                   key chords it receives to DIR/keys and "in" to DIR/focus once
//                                   it has the keyboard; owns the clipboard
//                                   with several forms, as if the user had copied something
//   paste_target bare-entry DIR     the same without touching the clipboard
//   paste_target deaf DIR           "entry" whose entry ignores every key (a paste never lands)
//   paste_target tty DIR            no window: run inside a terminal, appends every byte typed
//                                   to DIR/text (the terminal in raw mode)
//   paste_target button             a window "Paste target" whose focused widget is a button
//   paste_target dump               prints every form on the clipboard: "TARGET\tHEX", sorted
#include <gtk/gtk.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

namespace {

std::string dir;
bool deaf = false;

void writeFile(const std::string& name, const std::string& content) {
  const std::string path = dir + "/" + name;
  std::ofstream(path + ".new") << content;
  std::rename((path + ".new").c_str(), path.c_str());
}

struct Form {
  const char* target;
  std::string data;
};
const std::vector<Form>& forms() {
  static const std::vector<Form> all{
      {"UTF8_STRING", "kept words"},
      {"text/plain;charset=utf-8", "kept words"},
      {"text/html", "<b>kept</b> words"},
      {"application/x-paste-test", std::string("\x01\x00\x02", 3)},
  };
  return all;
}

void offer() {
  std::vector<GtkTargetEntry> entries;
  for (guint i = 0; i < forms().size(); ++i)
    entries.push_back({const_cast<gchar*>(forms()[i].target), 0, i});
  gtk_clipboard_set_with_data(
      gtk_clipboard_get(GDK_SELECTION_CLIPBOARD), entries.data(), entries.size(),
      [](GtkClipboard*, GtkSelectionData* data, guint info, gpointer) {
        const Form& f = forms()[info];
        gtk_selection_data_set(data, gdk_atom_intern(f.target, FALSE), 8,
                               reinterpret_cast<const guchar*>(f.data.data()), f.data.size());
      },
      nullptr, nullptr);
}

int dump() {
  GtkClipboard* board = gtk_clipboard_get(GDK_SELECTION_CLIPBOARD);
  GdkAtom* targets = nullptr;
  gint n = 0;
  std::vector<std::string> lines;
  if (gtk_clipboard_wait_for_targets(board, &targets, &n)) {
    for (gint i = 0; i < n; ++i) {
      gchar* name = gdk_atom_name(targets[i]);
      std::string target = name;
      g_free(name);
      if (target == "TARGETS" || target == "TIMESTAMP" || target == "MULTIPLE" ||
          target == "SAVE_TARGETS")
        continue;
      std::string line = target + "\t";
      if (GtkSelectionData* data = gtk_clipboard_wait_for_contents(board, targets[i])) {
        const guchar* bytes = gtk_selection_data_get_data(data);
        for (gint j = 0; j < gtk_selection_data_get_length(data); ++j) {
          char hex[3];
          std::snprintf(hex, sizeof hex, "%02x", bytes[j]);
          line += hex;
        }
        gtk_selection_data_free(data);
      } else {
        line += "-";
      }
      lines.push_back(line);
    }
    g_free(targets);
  }
  std::sort(lines.begin(), lines.end());
  for (const auto& l : lines) std::printf("%s\n", l.c_str());
  return 0;
}

}  // namespace

// What a shell would get from the terminal, byte for byte.
int tty() {
  termios raw{};
  if (tcgetattr(0, &raw) == 0) {
    cfmakeraw(&raw);
    tcsetattr(0, TCSANOW, &raw);
  }
  writeFile("focus", "in");
  std::string seen;
  char c;
  while (read(0, &c, 1) == 1) {
    seen.push_back(c);
    writeFile("text", seen);
  }
  return 0;
}

int main(int argc, char** argv) {
  const std::string mode = argc > 1 ? argv[1] : "";
  if (mode == "tty" && argc > 2) {
    dir = argv[2];
    return tty();
  }
  gtk_init(&argc, &argv);
  if (mode == "dump") return dump();
  if (mode == "entry" && argc > 3) gdk_set_program_class(argv[3]);
  GtkWidget* window = gtk_window_new(GTK_WINDOW_TOPLEVEL);
  gtk_window_set_title(GTK_WINDOW(window), "Paste target");
  gtk_window_set_default_size(GTK_WINDOW(window), 400, 100);
  g_signal_connect(window, "destroy", G_CALLBACK(gtk_main_quit), nullptr);
  const bool entryMode = mode == "entry" || mode == "bare-entry" || mode == "deaf";
  if (entryMode && argc > 2) {
    dir = argv[2];
    GtkWidget* entry = gtk_entry_new();
    gtk_container_add(GTK_CONTAINER(window), entry);
    g_signal_connect(entry, "changed", G_CALLBACK(+[](GtkEditable* e, gpointer) {
                       writeFile("text", gtk_entry_get_text(GTK_ENTRY(e)));
                     }),
                     nullptr);
    // The test waits for this before it pastes.
    g_signal_connect(entry, "focus-in-event", G_CALLBACK(+[](GtkWidget*, GdkEvent*, gpointer) {
                       writeFile("focus", "in");
                       return FALSE;
                     }),
                     nullptr);
    g_signal_connect(window, "key-press-event",
                     G_CALLBACK(+[](GtkWidget*, GdkEventKey* key, gpointer) -> gboolean {
                       static std::string seen;
                       std::string chord;
                       if (key->state & GDK_CONTROL_MASK) chord += "ctrl+";
                       if (key->state & GDK_SHIFT_MASK) chord += "shift+";
                       chord += gdk_keyval_name(gdk_keyval_to_lower(key->keyval));
                       seen += chord + "\n";
                       writeFile("keys", seen);
                       return deaf;
                     }),
                     nullptr);
    deaf = mode == "deaf";
    if (mode != "bare-entry") offer();
    gtk_widget_show_all(window);
    gtk_widget_grab_focus(entry);
  } else if (mode == "button") {
    GtkWidget* button = gtk_button_new_with_label("Press");
    gtk_container_add(GTK_CONTAINER(window), button);
    gtk_widget_show_all(window);
    gtk_widget_grab_focus(button);
  } else {
    std::fprintf(stderr,
                 "usage: paste_target entry|bare-entry|deaf|tty DIR [CLASS] | button | dump\n");
    return 2;
  }
  std::printf("ready\n");
  std::fflush(stdout);
  gtk_main();
  return 0;
}
