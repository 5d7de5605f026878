#include "remote/processes.h"

#include <gio/gio.h>

#include <exception>

#include "platform/event_loop.h"
#include "platform/gobject.h"
#include "platform/log.h"
#include "platform/user_data.h"

namespace talvane::remote {

namespace {

// Lines longer than this are cut: ssh's lines are short, and a runaway program must not grow
// the app without bound.
constexpr std::size_t kMaxLine = 4096;

// Shared between the Running handle and the GIO callbacks; the callbacks hold it until they run.
struct State {
  Processes::Watch watch;
  GObjectPtr<GSubprocess> process;
  GObjectPtr<GCancellable> cancellable{g_cancellable_new()};
  GObjectPtr<GDataInputStream> lines;
  bool readDone = false;
  bool waitDone = false;
  bool killed = false;
  std::string startError;

  void line(std::string text) {
    if (killed || !watch.line) return;
    // ssh ends its messages with a carriage return too.
    while (!text.empty() && (text.back() == '\r' || text.back() == ' ')) text.pop_back();
    if (text.size() > kMaxLine) text.resize(kMaxLine);
    try {
      watch.line(text);
    } catch (const std::exception& e) {
      log::debug("remote", std::string("line handler failed: ") + e.what());
    }
  }

  // The status is reported once both the output has ended and the program has exited.
  void maybeExited() {
    if (!readDone || !waitDone || killed) return;
    killed = true;  // nothing more after this
    int status = -1;
    if (process && g_subprocess_get_if_exited(process.get()))
      status = g_subprocess_get_exit_status(process.get());
    auto exited = std::move(watch.exited);
    watch = {};
    if (!exited) return;
    try {
      exited(status);
    } catch (const std::exception& e) {
      log::debug("remote", std::string("exit handler failed: ") + e.what());
    }
  }
};

using Ref = std::shared_ptr<State>;

void readNext(const Ref& state);

void onLine(GObject* source, GAsyncResult* result, gpointer data) {
  const Ref state = Holding<State>::take(data);
  gsize length = 0;
  GError* error = nullptr;
  char* text = g_data_input_stream_read_line_finish_utf8(G_DATA_INPUT_STREAM(source), result,
                                                         &length, &error);
  GErrorPtr owned(error);
  GCharPtr line(text);
  if (!text) {
    state->readDone = true;
    state->maybeExited();
    return;
  }
  state->line(std::string(text, length));
  if (!state->killed) readNext(state);
}

void readNext(const Ref& state) {
  g_data_input_stream_read_line_async(state->lines.get(), G_PRIORITY_DEFAULT,
                                      state->cancellable.get(), onLine,
                                      Holding<State>::hold(state));
}

void onWaited(GObject*, GAsyncResult*, gpointer data) {
  const Ref state = Holding<State>::take(data);
  state->waitDone = true;
  state->maybeExited();
}

class GioRunning final : public Processes::Running {
 public:
  explicit GioRunning(Ref state) : state_(std::move(state)) {}
  ~GioRunning() override {
    state_->killed = true;
    state_->watch = {};
    g_cancellable_cancel(state_->cancellable.get());
    if (state_->process) g_subprocess_force_exit(state_->process.get());
  }

 private:
  Ref state_;
};

}  // namespace

std::unique_ptr<Processes::Running> GioProcesses::start(const std::vector<std::string>& argv,
                                                        Watch watch) {
  auto state = std::make_shared<State>();
  state->watch = std::move(watch);
  std::vector<const gchar*> args;
  args.reserve(argv.size());
  for (const std::string& a : argv) args.push_back(a.c_str());
  args.push_back(nullptr);
  GError* error = nullptr;
  if (!argv.empty())
    state->process.reset(
        g_subprocess_newv(args.data(),
                          static_cast<GSubprocessFlags>(G_SUBPROCESS_FLAGS_STDOUT_PIPE |
                                                        G_SUBPROCESS_FLAGS_STDERR_MERGE),
                          &error));
  GErrorPtr owned(error);
  if (!state->process) {
    log::debug("remote", std::string("cannot start ") + (argv.empty() ? "" : argv[0]) + ": " +
                             (error ? error->message : "unknown error"));
    state->startError = std::string("cannot start ") + (argv.empty() ? "" : argv[0]);
    defaultLoop().post([state] {
      state->line(state->startError);
      state->readDone = state->waitDone = true;
      state->maybeExited();
    });
    return std::make_unique<GioRunning>(state);
  }
  state->lines.reset(g_data_input_stream_new(g_subprocess_get_stdout_pipe(state->process.get())));
  readNext(state);
  g_subprocess_wait_async(state->process.get(), state->cancellable.get(), onWaited,
                          Holding<State>::hold(state));
  return std::make_unique<GioRunning>(state);
}

}  // namespace talvane::remote
