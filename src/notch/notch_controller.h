#pragma once
// Owns the panel's page and turns its commands into Hub, preference and desktop operations;
// pushes the Hub's state to the page whenever it changes.

#include <cstdint>
#include <deque>
#include <optional>
#include <set>
#include <string>

#include "context/usage_meter.h"
#include "hub/hub.h"
#include "notch/desktop.h"
#include "notch/hover.h"
#include "notch/status_menu.h"
#include "notch/web_stage.h"
#include "platform/event_loop.h"

namespace talvane {

class NotchController {
 public:
  static constexpr double kStageWidth = 720;
  static constexpr double kStageHeight = 640;

  // `usageReads` runs the usage meter's file reads (a worker thread by default).
  NotchController(Hub& hub, Desktop desktop, EventLoop& loop, Background::Executor usageReads = {});
  ~NotchController();
  NotchController(const NotchController&) = delete;
  NotchController& operator=(const NotchController&) = delete;

  WebStage& stage() { return stage_; }
  Hub& hub() { return hub_; }
  LiveUsage& usage() { return usage_; }

  // Wires the page and the Hub and loads the page; `arriving` greets the user once it is ready.
  void show(bool arriving);
  // One command from the page.
  void handle(const Json& message);
  // Sends the whole state to the page on a later loop pass. Any number of calls before it goes
  // out send one state, and states go out at most once per frame interval, or once per stream
  // interval while changes keep streaming in: a snapshot is large, and building and sending one
  // per hook event would starve the loop (the relays and the state query wait on it).
  void push();
  // Sends it now, and drops a push still on its way.
  void pushNow();
  static constexpr double kFrameInterval = 1.0 / 60;
  static constexpr double kStreamInterval = 0.1;
  // Pushes in a row, each within the stream interval of the last, that make a stream.
  static constexpr int kStreamAfter = 3;

  void open();
  void close();
  void peek();
  void hold(const std::string& key, bool on);
  void takeFocus();
  void releaseFocus();
  void summon();
  void dismissKeys();
  void toggleTalk();
  void beginDrag();
  // Forgets the placement: the panel goes home.
  void resetPosition();
  // The status menu's "Settings…" and walkthrough.
  void openSettings();
  void tour();
  // Decides open, close and the poll rate from where the pointer is now.
  void evaluateHover();

  // Dictation as the panel sees it (notch_talk.cpp): speech progress and errors from Talk, the
  // talk key held or released (the Alt tap), and the hand-off of the finished text.
  void talkUpdate(const std::string& text, bool final, double level);
  void talkError(const std::string& message);
  void talkKeyHeld(bool held);
  // Cleans and punctuates a final transcript; unset: the text is used as it is.
  std::function<void(const std::string& text, std::function<void(std::string)> done)> polish;
  // Types the text into another application's focused text field and then calls `done`, with
  // false when none has focus or typing failed (the text then goes to the clipboard). Unset:
  // always the clipboard.
  std::function<void(const std::string& text, std::function<void(bool pasted)> done)> pasteText;

  // The status menu (notch_menu.cpp): what it shows now, and the item the user chose.
  MenuFacts menuFacts() const;
  void perform(MenuAction action);
  // Runs after every push (the status menu follows the state).
  std::function<void()> onPushed;

  // Where TALVANE_FAKE_CURSOR starts the artificial pointer when it says "x,y" (global
  // coordinates); none for any other value.
  static std::optional<Point> cursorStart(std::string_view text);

  // The text "copyDiagnostics" puts on the clipboard.
  std::string diagnostics() const;
  // A page's "log" text as written: control characters escaped, at most kMaxLogBytes.
  static std::string logSafe(std::string_view text);
  static constexpr size_t kMaxLogBytes = 4096;

  const std::set<std::string>& holds() const { return holds_; }
  const Rect& drawn() const { return drawn_; }
  bool arriving() const { return arriving_; }
  // The hover poll's rate: true while fast; none before show().
  std::optional<bool> pollHot() const { return pollHot_; }

 private:
  // The page's commands (notch_commands.cpp), one handler per message type.
  struct PageCommand {
    const Json& message;
    std::string id;  // the message's "id", or empty
  };
  using Command = void (NotchController::*)(const PageCommand&);
  void onReady(const PageCommand& c);
  void onTourDone(const PageCommand& c);
  void onRect(const PageCommand& c);
  void onStripWidth(const PageCommand& c);
  void onGlass(const PageCommand& c);
  void onDragStart(const PageCommand& c);
  void onResetPosition(const PageCommand& c);
  void onSelect(const PageCommand& c);
  void onJump(const PageCommand& c);
  void onAllow(const PageCommand& c);
  void onDeny(const PageCommand& c);
  void onAnswer(const PageCommand& c);
  void onReply(const PageCommand& c);
  void onEngage(const PageCommand& c);
  void onRelease(const PageCommand& c);
  void onAnswerThere(const PageCommand& c);
  void onDismiss(const PageCommand& c);
  void onClear(const PageCommand& c);
  void onUndo(const PageCommand& c);
  void onHide(const PageCommand& c);
  void onRecordingKey(const PageCommand& c);
  void onTalk(const PageCommand& c);
  void onAskAccessibility(const PageCommand& c);
  void onOptionTapChanged(const PageCommand& c);
  void onOpen(const PageCommand& c);
  void onSetting(const PageCommand& c);
  void onCopyDiagnostics(const PageCommand& c);
  void onUsage(const PageCommand& c);
  void onFocus(const PageCommand& c);
  void onHold(const PageCommand& c);
  void onMenu(const PageCommand& c);
  void onQuit(const PageCommand& c);
  void onCheckUpdates(const PageCommand& c);
  void onLog(const PageCommand& c);
  void onOnboardDone(const PageCommand& c);

  void later(double seconds, std::function<void()> fn);
  // Dictated text that found no field: on the clipboard, and the panel says so for a moment.
  void copied(const std::string& text);
  void setPoll(bool hot);
  void relayPointer(bool inside, Point at);
  PanelGeometry geometry() const;
  static std::string rectText(const Rect& r);
  std::string pointerText() const;

  // Scripted demonstrations for recordings (notch_demo.cpp): TALVANE_DEMO_DOCK and
  // TALVANE_DEMO_TOUR drive the artificial pointer through real drags; TALVANE_FAKE_CURSOR
  // keeps it (and draws it) for the whole run.
  struct DemoStep {
    double delay;  // seconds after the previous step
    std::function<void()> act;
  };
  void startDemos();
  void runDemo();
  void demoDock();
  void demoTour();
  // Moves the artificial pointer to `to` in `steps` even steps over `seconds`.
  void glide(Point to, int steps, double seconds);
  void moveCursor(Point to, bool down);
  void press();
  void release();
  std::optional<Point> stripCentre() const;
  std::optional<Rect> demoScreen() const;
  // Tells the page where to draw the artificial pointer (stage coordinates).
  void relayCursor();

  Hub& hub_;
  Desktop desktop_;
  EventLoop& loop_;
  WebStage stage_;
  LiveUsage usage_;
  Rect drawn_{260, 0, 200, 32};
  // The closed pill's width, as the page last asked for it within the limits.
  double stripWidth_ = Strip::kPillWidth;
  bool arriving_ = false;
  bool holdingTalk_ = false;
  bool talkSummoned_ = false;  // this dictation brought keyboard mode (and the focus) here
  std::set<std::string> holds_;
  Hover hover_;
  TimerHandle poll_;
  std::optional<bool> pollHot_;
  // One hover check soon after the pointer moved, however often it moves.
  TimerHandle moved_;
  bool movedPending_ = false;
  Date lastMoved_ = -1;
  TimerHandle dwell_;
  TimerHandle collapse_;
  Point lastPointer_{-1, -1};
  bool fakeCursor_ = false;
  Json lastCursor_;
  // The coalesced push: at most one on its way, named by its generation.
  bool pushPending_ = false;
  std::uint64_t pushGeneration_ = 0;
  TimerHandle pushTimer_;
  Date lastPush_ = -1e18;
  int pushStreak_ = 0;
  std::deque<DemoStep> demo_;
  std::vector<TimerHandle> timers_;
  std::shared_ptr<char> alive_ = std::make_shared<char>();
};

}  // namespace talvane
