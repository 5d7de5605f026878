#pragma once
// The status item in the desktop's tray (StatusNotifierItem through libayatana-appindicator):
// the face and the menu. It exists only while a tray host watches for items; without one the
// app runs on with no item.

#include <functional>
#include <memory>
#include <string>

#include "notch/status_menu.h"

namespace talvane {

class StatusItem {
 public:
  // `facts` is read whenever the menu may show; `act` runs the item the user chose.
  StatusItem(std::function<MenuFacts()> facts, std::function<void(MenuAction)> act);
  ~StatusItem();
  StatusItem(const StatusItem&) = delete;
  StatusItem& operator=(const StatusItem&) = delete;

  // Watches the session bus for a tray host and shows the item while there is one.
  void show();
  // Brings the menu up to date with `facts` (cheap when nothing changed).
  void refresh();
  // The same menu at the pointer (the page's "menu" command); `closed` runs when it goes.
  void popUp(std::function<void()> closed);
  bool visible() const;
  // The indicator's attention state (its attention icon) while an agent waits for an answer.
  void setAttention(bool on);
  bool attention() const;

  // A short notice in a small window of its own (no tray needed).
  static void notify(const std::string& title, const std::string& text);

 private:
  struct Core;
  std::unique_ptr<Core> core_;
};

}  // namespace talvane
