#include "desktop/status_item.h"

#include <gtk/gtk.h>
#include <libayatana-appindicator/app-indicator.h>

#include <optional>
#include <vector>

#include "platform/event_loop.h"
#include "platform/files.h"
#include "platform/gobject.h"
#include "platform/log.h"
#include "platform/signal_connection.h"

namespace talvane {

namespace {

constexpr const char* kWatcher = "org.kde.StatusNotifierWatcher";
constexpr const char* kIcon = "talvane-face-symbolic";
// Shown while a request waits: in colour, so that it stands out from the symbolic face.
constexpr const char* kAttentionIcon = "talvane-face-attention";

// The icon lives where the tray host can read it whatever way the app was started.
std::string iconDirectory() {
  const char* runtime = g_get_user_runtime_dir();
  std::string dir = std::string(runtime ? runtime : g_get_tmp_dir()) + "/talvane/icons";
  files::makeDirs(dir, 0700);
  if (auto why = files::writeAtomic(dir + "/" + kIcon + ".svg", StatusMenu::faceSvg(), 0600))
    log::debug("desktop", *why);
  if (auto why = files::writeAtomic(dir + "/" + kAttentionIcon + ".svg",
                                    StatusMenu::faceSvg("#f59e0b"), 0600))
    log::debug("desktop", *why);
  return dir;
}

GtkWidget* menuFrom(const std::vector<MenuItem>& items,
                    const std::function<void(MenuAction)>& act) {
  GtkWidget* menu = gtk_menu_new();
  for (const MenuItem& item : items) {
    GtkWidget* widget = item.separator() ? gtk_separator_menu_item_new()
                                         : gtk_menu_item_new_with_label(item.title.c_str());
    gtk_widget_set_sensitive(widget, item.separator() || item.enabled);
    if (!item.separator() && item.enabled && act) {
      // Run once GTK is done with the menu: the action may replace this very menu.
      connectSignal<void(GtkMenuItem*)>(widget, "activate",
                                        [act, action = item.action](GtkMenuItem*) {
                                          defaultLoop().post([act, action] { act(action); });
                                        })
          .detach();
    }
    gtk_menu_shell_append(GTK_MENU_SHELL(menu), widget);
  }
  gtk_widget_show_all(menu);
  return menu;
}

}  // namespace

struct StatusItem::Core {
  std::function<MenuFacts()> facts;
  std::function<void(MenuAction)> act;
  GObjectPtr<AppIndicator> indicator;
  GtkWidget* menu = nullptr;  // owned by the indicator once set
  std::optional<MenuFacts> shown;
  BusNameWatch watch;
  bool hosted = false;
  bool attention = false;

  ~Core() {
    watch.reset();
    hide();
  }

  void create() {
    if (indicator) return;
    indicator.reset(app_indicator_new_with_path(
        "talvane", kIcon, APP_INDICATOR_CATEGORY_APPLICATION_STATUS, iconDirectory().c_str()));
    app_indicator_set_title(indicator.get(), "Talvane");
    app_indicator_set_attention_icon_full(indicator.get(), kAttentionIcon, "An agent needs you");
    shown.reset();
    rebuild();
    setStatus();
  }

  void setStatus() {
    if (!indicator) return;
    app_indicator_set_status(
        indicator.get(), attention ? APP_INDICATOR_STATUS_ATTENTION : APP_INDICATOR_STATUS_ACTIVE);
  }

  void hide() {
    if (!indicator) return;
    app_indicator_set_status(indicator.get(), APP_INDICATOR_STATUS_PASSIVE);
    indicator.reset();
    menu = nullptr;
  }

  void rebuild() {
    if (!indicator) return;
    MenuFacts now = facts ? facts() : MenuFacts{};
    if (shown && *shown == now) return;
    shown = now;
    menu = menuFrom(StatusMenu::build(now), act);
    app_indicator_set_menu(indicator.get(), GTK_MENU(menu));
  }
};

StatusItem::StatusItem(std::function<MenuFacts()> facts, std::function<void(MenuAction)> act)
    : core_(std::make_unique<Core>()) {
  core_->facts = std::move(facts);
  core_->act = std::move(act);
}

StatusItem::~StatusItem() = default;

void StatusItem::show() {
  if (core_->watch) return;
  core_->watch = BusNameWatch(g_bus_watch_name(
      G_BUS_TYPE_SESSION, kWatcher, G_BUS_NAME_WATCHER_FLAGS_NONE,
      +[](GDBusConnection*, const gchar*, const gchar*, gpointer data) {
        auto* core = static_cast<Core*>(data);
        core->hosted = true;
        core->create();
      },
      +[](GDBusConnection*, const gchar*, gpointer data) {
        auto* core = static_cast<Core*>(data);
        if (core->indicator || !core->hosted)
          log::line("Talvane: no tray to show the status item in");
        core->hosted = false;
        core->hide();
      },
      core_.get(), nullptr));
}

void StatusItem::refresh() { core_->rebuild(); }

void StatusItem::setAttention(bool on) {
  if (core_->attention == on) return;
  core_->attention = on;
  core_->setStatus();
}

bool StatusItem::attention() const {
  return core_->indicator &&
         app_indicator_get_status(core_->indicator.get()) == APP_INDICATOR_STATUS_ATTENTION;
}

void StatusItem::popUp(std::function<void()> closed) {
  GtkWidget* menu =
      menuFrom(StatusMenu::build(core_->facts ? core_->facts() : MenuFacts{}), core_->act);
  // Ours until deactivated, then released once the activation it may still deliver has run.
  g_object_ref_sink(menu);
  connectSignal<void(GtkMenuShell*)>(
      menu, "deactivate",
      [closed = std::move(closed), released = false](GtkMenuShell* shell) mutable {
        if (closed) std::exchange(closed, nullptr)();
        if (std::exchange(released, true)) return;
        defaultLoop().post([owned = std::shared_ptr<GtkMenuShell>(shell, GObjectUnref())] {});
      })
      .detach();
  gtk_menu_popup_at_pointer(GTK_MENU(menu), nullptr);
}

bool StatusItem::visible() const { return core_->indicator != nullptr; }

void StatusItem::notify(const std::string& title, const std::string& text) {
  GtkWidget* dialog = gtk_message_dialog_new(nullptr, GTK_DIALOG_DESTROY_WITH_PARENT,
                                             GTK_MESSAGE_INFO, GTK_BUTTONS_OK, "%s", title.c_str());
  gtk_message_dialog_format_secondary_text(GTK_MESSAGE_DIALOG(dialog), "%s", text.c_str());
  gtk_window_set_title(GTK_WINDOW(dialog), "Talvane");
  gtk_window_set_keep_above(GTK_WINDOW(dialog), TRUE);
  g_signal_connect(dialog, "response", G_CALLBACK(gtk_widget_destroy), nullptr);
  gtk_widget_show_all(dialog);
  gtk_window_present(GTK_WINDOW(dialog));
}

}  // namespace talvane
