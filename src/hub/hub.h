#pragma once
// The single owner of everything the notch shows: the sessions, the reply functions of relays
// that wait for the user, the sessions the user has hidden, and a few short-lived highlights.
// Main thread only. Agent adapters find-or-create a session, change their copy and store it
// back; every change is announced once per loop pass through `onChange`.

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <unordered_map>
#include <vector>

#include "bridge/hook_router.h"
#include "context/background.h"
#include "context/git_hub.h"
#include "context/recent_transcripts.h"
#include "context/transcript_reader.h"
#include "hub/session.h"
#include "platform/event_loop.h"
#include "platform/json.h"
#include "platform/settings_store.h"

namespace talvane {

// A transcript written recently: id, path and modification time.
using RecentTranscript = RecentTranscripts::Found;

// What the Hub needs from preferences and the desktop, wired by the app. Every member left
// empty gets the default named in its comment.
struct HubSettings {
  // Minutes without an event before a session leaves the visible list; 0 never hides.
  // Default 120.
  std::function<int()> hideAfter;
  // Seconds a finished turn stays open for a reply; below 1 offers none. Default 15.
  std::function<int()> replyWindow;
  // The preferences object sent with every snapshot under "settings". Default {}.
  std::function<Json()> prefs;
  // Brings the session's host window forward, then calls its second argument (when given)
  // with none, or why nothing came forward. Default: nothing, reported as such.
  std::function<void(const Session&, std::function<void(std::optional<std::string>)>)> jump;
  // The same for a session on a remote host: opens a local terminal logged in there. Default:
  // Jump::observeRemote's plan carried out by a Jump::Runner of the Hub's own.
  std::function<void(const Session&, std::function<void(std::optional<std::string>)>)> jumpRemote;
  // The host's short display name, if any. Default: none.
  std::function<std::optional<std::string>(const Session&)> hostName;
  // True only when the process certainly no longer exists. Default: kill(pid, 0) fails with
  // ESRCH.
  std::function<bool(std::int32_t pid)> processGone;
  // The word that answers every new request by itself, for exercising the answer paths.
  // Default: the environment variable TALVANE_DEBUG_ANSWER.
  std::function<std::optional<std::string>()> debugAnswer;
  // Claude Code transcripts modified within the given minutes before `now`, oldest first. Called
  // on the transcript reads' executor. Default: the transcripts under ~/.claude/projects.
  std::function<std::vector<RecentTranscript>(int minutes, Date now)> recentTranscripts;
  // Runs the reads of transcripts, and the listing and reading of recent ones at startup.
  // Default: a worker thread.
  Background::Executor transcriptReads;
  // Bytes of a transcript one read takes at most before the loop hears of it (the file is read
  // on in further passes). 0: 8 MiB.
  std::uint64_t transcriptPass = 0;
};

class Hub final : public HookRouter {
 public:
  struct Flash {
    std::string id;
    Date until = 0;
  };
  struct PrNews {
    std::string id;
    std::string kind;  // "merged" or "failing"
    Date until = 0;
  };

  // `github` may be given for tests; by default the Hub makes its own.
  Hub(EventLoop& loop, SettingsStore& store, HubSettings settings = {},
      std::unique_ptr<GitHub> github = nullptr);
  ~Hub() override;
  Hub(const Hub&) = delete;
  Hub& operator=(const Hub&) = delete;

  // Called once per loop pass after any number of changes; never from inside the change.
  std::function<void()> onChange;
  // Something needs the user's eyes (a new request, failing checks). Called once per loop pass
  // however many things asked for it, never from inside the change.
  std::function<void()> onAttention;

  // --- Agent entry points (HookRouter) ---------------------------------------------------
  // A hook event in Claude Code's form. Returns the pending id when `reply` is kept until
  // the user answers; otherwise `reply` has been called already.
  std::optional<std::string> claude(const Json& message, Reply reply) override;
  std::optional<std::string> cursor(const Json& message, Reply reply) override;
  std::optional<std::string> adapted(const Json& message, Reply reply) override;
  // The relay that waited for `pendingId` has gone: withdraw its request.
  void hookGone(const std::string& pendingId) override;
  Json snapshot() override;

  // --- Store operations for the adapters ------------------------------------------------
  // The stored session with that id (its empty root filled from `cwd`), or a new one that is
  // not stored yet.
  Session session(const std::string& id, Agent agent, const std::string& cwd);
  // Replaces the session with the same id, or appends it; then notifies.
  void store(const Session& session);
  // Ends the copy's pending request, releasing its relay with an empty answer.
  void clearPending(Session& session);
  // Keeps the relay's reply function until the request `pendingId` ends.
  void hold(const std::string& pendingId, Reply reply);
  void untuck(const std::string& id);
  // Requests a redraw, coalesced to one `onChange` per loop pass.
  void changed();
  // Asks for `onAttention`, coalesced like `changed`.
  void attention();
  void setSelected(std::optional<std::string> id);
  void setFlash(const std::string& id, Date until);
  // Changes the Codex session "codex:" + `id` (created when new): untucks it while it works,
  // flashes a short turn that just finished, and stores it.
  void codex(const std::string& id, const std::string& cwd,
             const std::function<void(Session&)>& update);
  // Drops the session, releasing a relay that waits for it, and notifies.
  void removeSession(const std::string& id);

  // --- User operations (page commands) --------------------------------------------------
  void select(const std::string& id);
  void dismiss(const std::string& id);
  void engage(const std::string& id);
  // Hands the request back to the agent's own interface.
  void release(const std::string& id);
  void answerThere(const std::string& id);
  // `done`, when given, hears none once something came forward, else why not.
  void jump(const std::string& id, std::function<void(std::optional<std::string>)> done = {});
  // The ids a user may mean by `text`: the session with exactly that id, else every session
  // whose id after "agent:" is `text`, or whose agent's own conversation id is (so one id used
  // on two machines names both).
  std::vector<std::string> idsMatching(const std::string& text) const;
  void clearFinished();
  void undoClear();

  // Answers a permission request ("allow" or "deny"), optionally with a changed input. A
  // non-empty `request` must name the pending request: a click on a request that was replaced
  // meanwhile answers nothing.
  void decide(const std::string& id, const std::string& behavior,
              const std::optional<Json>& input = std::nullopt, const std::string& request = "");
  // Answers a questions request, one answer per question in order.
  void answer(const std::string& id, const std::vector<std::string>& answers);
  // Answers a reply offer with free text and starts the next turn.
  void sendReply(const std::string& id, const std::string& text);
  // With a debug answer configured, answers the session's new request 1.2 seconds later.
  void autoAnswerForTests(const Session& session);

  // --- Startup --------------------------------------------------------------------------
  // Brings back the Claude Code sessions whose transcripts were written recently. They are
  // listed and read off the loop; the sessions appear once that is done.
  void restoreRecent();
  // Fills the Hub with invented sessions: "busy", "waiting" or "mixed" (any other name).
  void loadDemo(const std::string& scene);
  // Gives the scene's sessions their sample requests again where they have none.
  void demoPending(const std::string& scene);
  static std::vector<std::string> demoScenes();

  // --- Derived views (pointers stay valid until the next change of the Hub) --------------
  std::vector<const Session*> visible() const;
  // Sessions with a pending request, oldest request first.
  std::vector<const Session*> queue() const;
  const Session* focus() const;
  // The selected session if visible, else the queue's first, else the focus.
  const Session* effectiveSelection() const;
  const Session* find(const std::string& id) const;

  // One session as the page shows it, without its pull request.
  Json sessionJson(const Session& session) const;

  // --- State ------------------------------------------------------------------------------
  const std::vector<Session>& sessions() const { return sessions_; }
  bool isOpen() const { return isOpen_; }
  void setOpen(bool open);
  const std::optional<std::string>& selected() const { return selected_; }
  const std::vector<Session>& cleared() const { return cleared_; }
  const std::map<std::string, Date>& tucked() const { return tucked_; }
  const std::optional<Flash>& flash() const { return flash_; }
  const std::optional<PrNews>& prNews() const { return prNews_; }
  bool hasResponder(const std::string& pendingId) const { return responders_.count(pendingId); }
  std::size_t responderCount() const { return responders_.size(); }
  GitHub& github() { return *github_; }
  TranscriptReader& transcripts() { return transcripts_; }
  EventLoop& loop() { return loop_; }
  Date now() const { return loop_.now(); }
  int replyWindow() const { return settings_.replyWindow(); }

  // Owned by the Cursor adapter: the last response text by session id.
  std::unordered_map<std::string, std::string> cursorLast;

  // Runs every second: expires reply offers and highlights, refreshes pull requests, and
  // every 20 seconds drops Claude Code sessions whose agent has gone.
  void tick();
  // A project's pull request was re-read: turns merges and new failures into news.
  void prChanged(const std::string& root, const std::optional<PullRequest>& old,
                 const std::optional<PullRequest>& current);

 private:
  // The latest tool call announced before it ran, to pair a permission request that names
  // no call with the call it is about.
  struct ToolUse {
    std::string id;
    std::string tool;
    Json input;
  };

  Session* findMutable(const std::string& id);
  // Rebuilds `positions_` after sessions were removed or replaced wholesale.
  void reindex();
  static const Session* focus(const std::vector<const Session*>& shown, Date now);
  Json sessionJson(const Session& session, Date now) const;
  // Removes and returns the reply function kept for the request, if any.
  Reply takeResponder(const std::string& pendingId);
  void saveTucked();
  void loadTucked();
  // Runs `fn` after `seconds` unless the Hub is gone by then.
  void later(double seconds, std::function<void()> fn);
  int colorFor() const;
  bool isVisible(const Session& s, Date now, int hideAfter) const;
  void removeSessions(const std::function<bool(const Session&)>& gone);

  // One Claude Code event's parts (hub_claude.cpp).
  struct ClaudeTool;
  void claudePrompt(Session& s, const Json& payload, Date now);
  void claudeToolStarted(Session& s, const ClaudeTool& call, Date now);
  void claudeToolEnded(Session& s, const ClaudeTool& call, bool failed);
  // True when the notification asked for the user and is now the session's request.
  bool claudeNotification(Session& s, const Json& payload, Date now);
  std::optional<std::string> claudePermission(Session& s, const Json& payload,
                                              const std::string& tool, const Json& input,
                                              Reply& reply);
  std::optional<std::string> claudeStop(Session& s, const Json& payload, Reply& reply);
  std::optional<std::string> cursorStop(const Json& payload, const Json& base,
                                        const std::string& sessionId, Reply& reply);
  // Brings back the sessions of transcripts read at startup.
  void restore(const std::vector<RecentTranscript>& recents);
  // Sets the session's stats to what is known of its transcript, and has what the transcript
  // grew by read off the loop; the stats it changes arrive a little later.
  void readTranscript(Session& s, const std::string& path);
  // One bounded read of each path off the loop (another one after a read under way), more until
  // each is read to its end; `then` runs once this pass is taken in.
  void readTranscriptPasses(const std::vector<std::string>& paths,
                            std::function<void()> then = nullptr);
  void showTranscript(const std::string& path, const TranscriptStats& stats);

  EventLoop& loop_;
  SettingsStore& store_;
  HubSettings settings_;

  std::vector<Session> sessions_;
  std::unordered_map<std::string, std::size_t> positions_;  // index in sessions_ by id
  std::optional<Flash> flash_;
  bool isOpen_ = false;
  std::optional<std::string> selected_;
  std::vector<Session> cleared_;
  std::map<std::string, Date> tucked_;
  std::unordered_map<std::string, Reply> responders_;
  std::unique_ptr<GitHub> github_;
  std::optional<PrNews> prNews_;
  TranscriptReader transcripts_;
  bool pushScheduled_ = false;
  bool attentionScheduled_ = false;
  Date lastSlowTick_ = 0;
  std::unordered_map<std::string, ToolUse> lastToolUse_;  // by session id

  // Posted tasks check this token so that they do nothing once the Hub is gone.
  std::shared_ptr<char> alive_ = std::make_shared<char>();
  std::map<std::uint64_t, TimerHandle> timers_;
  std::uint64_t nextTimer_ = 0;
  TimerHandle ticker_;
  // Transcripts being read off the loop; true when they grew again meanwhile.
  std::map<std::string, bool> transcriptsReading_;
  Background transcriptReads_;  // last: stops before the members it touches go
};

}  // namespace talvane
