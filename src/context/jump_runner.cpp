#include "context/jump_runner.h"

#include <glib.h>

#include <algorithm>

#include "context/background.h"
#include "context/child_process.h"
#include "platform/files.h"
#include "platform/gobject.h"
#include "platform/log.h"

namespace talvane::Jump {

namespace {

using Output = std::function<void(std::optional<std::string>)>;

std::vector<std::string> environmentWith(const std::vector<std::string>& extra) {
  std::vector<std::string> env;
  gchar** own = g_get_environ();
  for (gchar** e = own; e && *e; ++e) env.emplace_back(*e);
  g_strfreev(own);
  for (const std::string& add : extra) {
    const std::string name = add.substr(0, add.find('=') + 1);
    std::erase_if(env, [&](const std::string& e) { return e.starts_with(name); });
    env.push_back(add);
  }
  return env;
}

// A child process that is killed, and counts as failed, when it outlives `seconds`.
void runChild(EventLoop& loop, const Command& command, double seconds, Output done) {
  struct Waiting {
    std::shared_ptr<ChildProcess> child;
    Output done;
    TimerHandle timer;
  };
  // Held by the child's callback and the timer's until either of them ends the wait.
  auto waiting = std::make_shared<Waiting>();
  waiting->done = std::move(done);
  waiting->child = ChildProcess::start(command.argv, files::home(), environmentWith(command.env),
                                       [waiting](std::optional<std::string> out) {
                                         waiting->timer.cancel();
                                         auto done = std::exchange(waiting->done, nullptr);
                                         waiting->child.reset();
                                         if (done) done(std::move(out));
                                       });
  waiting->timer = loop.after(seconds, [waiting] {
    if (waiting->child) waiting->child->cancel();
    waiting->child.reset();
    if (auto done = std::exchange(waiting->done, nullptr)) done(std::nullopt);
  });
}

std::optional<std::string> launchDetached(const Command& command) {
  std::vector<char*> argv;
  for (const std::string& word : command.argv) argv.push_back(const_cast<char*>(word.c_str()));
  argv.push_back(nullptr);
  std::vector<std::string> env = environmentWith(command.env);
  std::vector<char*> envp;
  envp.reserve(env.size());
  for (std::string& e : env) envp.push_back(e.data());
  envp.push_back(nullptr);
  GError* error = nullptr;
  // Without G_SPAWN_DO_NOT_REAP_CHILD the window's process is left to init, never a zombie here.
  const auto flags =
      static_cast<GSpawnFlags>(G_SPAWN_STDOUT_TO_DEV_NULL | G_SPAWN_STDERR_TO_DEV_NULL);
  if (g_spawn_async(files::home().c_str(), argv.data(), envp.data(), flags, nullptr, nullptr,
                    nullptr, &error))
    return std::nullopt;
  std::string why = error ? error->message : "cannot start " + command.argv.front();
  g_clear_error(&error);
  return why;
}

std::string describe(const Command& c) {
  return c.argv.empty() ? std::string("?") : files::lastComponent(c.argv[0]);
}

// One jump in flight: owns its plan and walks it step by step.
class Attempt : public std::enable_shared_from_this<Attempt> {
 public:
  Attempt(std::shared_ptr<const Outside> outside, std::shared_ptr<Background> background, Plan plan,
          Done done)
      : outside_(std::move(outside)),
        background_(std::move(background)),
        plan_(std::move(plan)),
        done_(std::move(done)) {}

  void next() {
    if (index_ >= plan_.steps.size()) {
      outside_->log("Talvane jump: " + why_);
      return finish(why_);
    }
    const Step& step = plan_.steps[index_++];
    if (const auto* tmux = std::get_if<TmuxStep>(&step)) return runTmux(*tmux);
    if (const auto* command = std::get_if<CommandStep>(&step)) return runCommand(*command);
    if (const auto* launch = std::get_if<LaunchStep>(&step)) return runLaunch(*launch);
    runWindow(std::get<WindowStep>(step));
  }

 private:
  void finish(std::optional<std::string> failure) {
    if (auto done = std::exchange(done_, nullptr)) done(std::move(failure));
  }

  void failed(std::string why) {
    log::debug("jump", why);
    why_ = std::move(why);
    next();
  }

  std::optional<std::string> raise(const std::vector<int>& pids) {
    if (!outside_->windows) return "no window system to raise windows with";
    if (pids.empty()) return "no process to raise a window of";
    return outside_->windows->activate(pids);
  }

  void runCommand(const CommandStep& step) {
    auto self = shared_from_this();
    outside_->run(step.command, Runner::kCommandSeconds,
                  [self, step](const std::optional<std::string>& out) {
                    if (!out) return self->failed(describe(step.command) + " failed or timed out");
                    if (!step.raise.empty()) {
                      if (auto why = self->raise(step.raise)) log::debug("jump", *why);
                    }
                    self->finish(std::nullopt);
                  });
  }

  void runLaunch(const LaunchStep& step) {
    if (step.command.argv.empty()) return failed("nothing to start");
    if (auto why = outside_->launch(step.command)) return failed(step.what + ": " + *why);
    finish(std::nullopt);
  }

  void runWindow(const WindowStep& step) {
    if (auto why = raise(step.pids)) return failed(*why);
    finish(std::nullopt);
  }

  void runTmux(const TmuxStep& step) {
    auto self = shared_from_this();
    Command list{step.tmux, {}};
    list.argv.insert(list.argv.end(), {"list-panes", "-a", "-F", std::string(kPaneFormat)});
    outside_->run(list, Runner::kCommandSeconds, [self, step](std::optional<std::string> out) {
      if (!out) return self->failed("no tmux server at " + step.tmux.back());
      auto panes = parsePanes(*out);
      auto pane = std::find_if(panes.begin(), panes.end(),
                               [&](const TmuxPane& p) { return p.tty == step.tty; });
      if (pane == panes.end()) return self->failed("no tmux pane on " + step.tty);
      self->tmuxClients(step, *pane);
    });
  }

  void tmuxClients(const TmuxStep& step, const TmuxPane& pane) {
    auto self = shared_from_this();
    Command list{step.tmux, {}};
    list.argv.insert(list.argv.end(), {"list-clients", "-F", std::string(kClientFormat)});
    outside_->run(list, Runner::kCommandSeconds,
                  [self, step, pane](const std::optional<std::string>& out) {
                    auto client = tmuxClientFor(parseClients(out.value_or("")), pane);
                    Command select{step.tmux, {}};
                    for (auto& a : tmuxSelect(pane, client)) select.argv.push_back(std::move(a));
                    self->tmuxSelected(select, client);
                  });
  }

  void tmuxSelected(const Command& select, const std::optional<TmuxClient>& client) {
    auto self = shared_from_this();
    outside_->run(select, Runner::kCommandSeconds,
                  [self, client](const std::optional<std::string>& out) {
                    if (!out) return self->failed("tmux could not select the session's pane");
                    // The pane is chosen; the terminal showing it is raised when there is one.
                    if (!client) return self->finish(std::nullopt);
                    self->raiseTerminal(client->pid);
                  });
  }

  // The client's processes come from /proc, read off the loop.
  void raiseTerminal(int clientPid) {
    auto self = shared_from_this();
    background_->run([lineage = outside_->lineage, clientPid] { return lineage(clientPid); },
                     [self](const std::vector<int>& pids) {
                       if (auto why = self->raise(pids)) log::debug("jump", *why);
                       self->finish(std::nullopt);
                     });
  }

  std::shared_ptr<const Outside> outside_;
  std::shared_ptr<Background> background_;
  Plan plan_;
  Done done_;
  std::size_t index_ = 0;
  std::string why_ = "nothing to bring forward";
};

}  // namespace

Runner::Runner(Outside outside, EventLoop& loop)
    : background_(std::make_shared<Background>(loop, outside.reads)) {
  if (!outside.run) {
    outside.run = [&loop](const Command& command, double seconds, Output done) {
      runChild(loop, command, seconds, std::move(done));
    };
  }
  if (!outside.launch) outside.launch = launchDetached;
  if (!outside.lineage) outside.lineage = Jump::lineage;
  if (!outside.observe) outside.observe = Jump::observe;
  if (!outside.observeRemote) outside.observeRemote = Jump::observeRemote;
  if (!outside.log) outside.log = [](const std::string& line) { log::line(line); };
  outside_ = std::make_shared<const Outside>(std::move(outside));
}

Runner::~Runner() = default;

void Runner::go(const Recorded& session, Done done) {
  background_->run([observe = outside_->observe, session] { return observe(session); },
                   [alive = std::weak_ptr<bool>(alive_), this,
                    done = std::move(done)](const Facts& facts) mutable {
                     if (alive.lock()) go(facts, std::move(done));
                   });
}

void Runner::go(const RemoteTarget& target, Done done) {
  background_->run([observe = outside_->observeRemote, target] { return observe(target); },
                   [alive = std::weak_ptr<bool>(alive_), this,
                    done = std::move(done)](const Plan& plan) mutable {
                     if (alive.lock()) go(plan, std::move(done));
                   });
}

void Runner::go(const Facts& facts, Done done) {
  Plan p = plan(facts);
  if (p.steps.empty() && facts.wayland && !facts.lineage.empty()) {
    // Logged once, as it stays true for the whole run; the caller still hears why.
    if (std::exchange(waylandLogged_, true)) {
      if (done) done(p.nothing);
      return;
    }
  }
  go(p, std::move(done));
}

void Runner::go(const Plan& p, Done done) {
  if (p.steps.empty()) {
    outside_->log("Talvane jump: " + p.nothing);
    if (done) done(p.nothing);
    return;
  }
  std::make_shared<Attempt>(outside_, background_, p, std::move(done))->next();
}

}  // namespace talvane::Jump
