#pragma once
// The user's clipboard (or primary selection) kept aside while dictated text is pasted: every
// form its owner offers is read without blocking the loop, the text takes its place, and the
// forms are offered again afterwards. Someone copying in between wins: their copy is left alone.

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/event_loop.h"

namespace talvane {

class KeptClipboard {
 public:
  // One form of the clipboard's contents, as the owner answered for `target`.
  struct Form {
    std::string target;
    std::string type;
    int format = 8;
    std::string data;
  };
  // A slow owner is given this long to answer; the forms read by then are kept.
  static constexpr double kReadLimit = 0.5;

  enum class Selection { clipboard, primary };

  explicit KeptClipboard(EventLoop& loop, Selection which = Selection::clipboard);
  // Puts anything still kept back at once.
  ~KeptClipboard();
  KeptClipboard(const KeptClipboard&) = delete;
  KeptClipboard& operator=(const KeptClipboard&) = delete;

  // Keeps what the clipboard holds (not again while text of ours is still on it), puts `text`
  // there, then calls `ready`.
  void hold(const std::string& text, std::function<void()> ready);
  // Offers the kept forms again `seconds` from now; an empty clipboard is emptied again.
  void restoreAfter(double seconds);
  void restore();
  // Leaves the text on the clipboard for good and forgets what was kept.
  void keep();
  // How often someone fetched the text since it was last put on the clipboard: a paste that
  // worked fetched it.
  unsigned long served() const;

  // Every form of the clipboard's contents now; `done` runs on the loop.
  static void read(EventLoop& loop, std::function<void(std::vector<Form>)> done,
                   Selection which = Selection::clipboard);
  // Owns the clipboard with these forms.
  static void offer(std::vector<Form> forms, Selection which = Selection::clipboard);

  // What the clipboard's callbacks share with this object (they may outlive it).
  struct State;

 private:
  void offerText(const std::string& text);

  EventLoop& loop_;
  Selection which_;
  std::shared_ptr<State> state_;
  std::shared_ptr<char> alive_ = std::make_shared<char>();
  TimerHandle restore_;
};

}  // namespace talvane
