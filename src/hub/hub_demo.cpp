// Invented sessions for demonstrations and recordings, so every card the page can draw is on
// screen without real agents. Scenes: "busy" (agents at work), "waiting" (one of every
// request) and "mixed" (every mood and every request); any other name gives "mixed".

#include "hub/hub.h"
#include "hub/tool_text.h"

namespace talvane {

namespace {

struct Tool {
  const char* name;
  Json input;
};

class SceneBuilder {
 public:
  explicit SceneBuilder(Date now) : now_(now) {}

  Session& add(const std::string& conversation, Agent agent, const std::string& root,
               const std::string& prompt, const std::string& model, double cost,
               std::int64_t contextTokens, const std::string& branch) {
    Session s = Session::create(std::string(rawValue(agent)) + ":" + conversation, agent, now_);
    s.root = root;
    s.colorIndex = static_cast<int>(sessions.size() % 9);
    s.title = ToolText::headline(prompt);
    s.started = now_ - 1800;
    s.updated = now_ - 5;
    s.stats.model = model;
    s.stats.cost = cost;
    s.stats.contextTokens = contextTokens;
    s.stats.branch = branch;
    s.stats.entrypoint = "cli";
    s.hostBundle = agent == Agent::cursor ? "/usr/share/cursor/cursor" : "/usr/bin/ghostty";
    s.tty = "/dev/pts/" + std::to_string(sessions.size() + 2);
    sessions.push_back(std::move(s));
    return sessions.back();
  }

  // Runs the tool calls in order, `spacing` seconds apart, ending now; the last one may still
  // be running.
  void work(Session& s, const std::vector<Tool>& tools, bool lastRunning, double spacing = 7) {
    s.mood = Mood::working;
    s.turnStarted = now_ - spacing * static_cast<double>(tools.size()) - 12;
    Date at = now_ - spacing * static_cast<double>(tools.size());
    for (std::size_t i = 0; i < tools.size(); ++i) {
      const std::string label = ToolText::activity(tools[i].name, tools[i].input);
      s.pushTool(label);
      s.countTool(tools[i].name, tools[i].input, at);
      s.activity = label;
      if (i + 1 < tools.size() || !lastRunning) s.finishTools(false);
      at += spacing;
    }
  }

  void finish(Session& s, const std::string& message, double agoSeconds) {
    s.mood = Mood::done;
    s.finishedAt = now_ - agoSeconds;
    s.updated = now_ - agoSeconds;
    s.activity = ToolText::shortText(message, 90);
    s.finishTools(false);
  }

  void ask(Session& s, const std::string& tool, const Json& input) {
    Pending p;
    p.id = s.id + ":demo-" + tool;
    if (tool == "AskUserQuestion") {
      p.kind = Pending::Questions{ToolText::questions(input)};
    } else {
      auto text = ToolText::permission(tool, input);
      p.kind = Pending::Permission{text.title, text.detail, tool};
    }
    p.toolInput = input;
    p.since = now_ - 4;
    s.pending = std::move(p);
    s.mood = Mood::waiting;
  }

  void offerReply(Session& s, const std::string& message, double window) {
    Pending p;
    p.id = s.id + ":demo-reply";
    p.kind = Pending::Reply{message, now_ + window};
    p.since = now_ - 2;
    s.pending = std::move(p);
  }

  void note(Session& s, const std::string& text) {
    Pending p;
    p.id = s.id + ":note";
    p.kind = Pending::Elsewhere{text};
    p.since = now_ - 9;
    s.pending = std::move(p);
    s.mood = Mood::waiting;
  }

  std::vector<Session> sessions;

 private:
  Date now_;
};

const Json kEditInput = {{"file_path", "/home/demo/src/talvane/src/hub/hub.cpp"},
                         {"old_string", "return nullptr;"},
                         {"new_string", "return best;"}};

const Json kQuestionInput = {
    {"questions",
     Json::array(
         {{{"header", "Storage"},
           {"question", "Where should the cache live?"},
           {"multiSelect", false},
           {"options",
            Json::array({{{"label", "In memory"}, {"description", "Fast, lost on quit"}},
                         {{"label", "On disk"}, {"description", "Survives restarts"}}})}},
          {{"header", "Tests"},
           {"question", "Which suites should I extend?"},
           {"multiSelect", true},
           {"options", Json::array({{{"label", "Unit"}, {"description", "Fast and focused"}},
                                    {{"label", "End to end"}, {"description", "Through the relay"}},
                                    {{"label", "Benchmarks"}}})}}})}};

// Agents at work, one just finished.
std::vector<Session> busyScene(SceneBuilder& b) {
  Session& a = b.add("demo-busy-1", Agent::claude, "/home/demo/src/talvane",
                     "Make the hub's snapshot twice as fast", "claude-opus-4-5", 2.84, 148000,
                     "faster-snapshot");
  b.work(a,
         {{"Grep", {{"pattern", "sessionJson"}}},
          {"Read", {{"file_path", "/home/demo/src/talvane/src/hub/hub_snapshot.cpp"}}},
          {"Edit", kEditInput},
          {"Bash", {{"command", "ctest -R hub --output-on-failure"}}}},
         true);
  Session& c = b.add("demo-busy-2", Agent::codex, "/home/demo/src/atlas",
                     "Port the tile renderer to the new API", "gpt-5-codex", 0.0, 0, "renderer");
  b.work(c,
         {{"Read", {{"file_path", "/home/demo/src/atlas/render/tiles.rs"}}},
          {"Bash", {{"command", "cargo test -p render"}}}},
         true, 11);
  Session& d =
      b.add("demo-busy-3", Agent::cursor, "/home/demo/src/website",
            "Why does the pricing page flash on load?", "claude-sonnet-4-5", 0.41, 52000, "main");
  b.work(d,
         {{"WebFetch", {{"url", "https://developer.mozilla.org/docs/Web/CSS/font-display"}}},
          {"Glob", {{"pattern", "src/**/*.css"}}},
          {"Read", {{"file_path", "/home/demo/src/website/src/pricing.css"}}}},
         false, 5);
  d.activity = "Thinking";
  Session& e = b.add("demo-busy-4", Agent::gemini, "/home/demo/src/notes",
                     "Summarise this week's meeting notes", "gemini-2.5-pro", 0.0, 0, "main");
  b.work(e, {{"Task", {{"description", "Collect the action items"}}}}, true);
  Session& f = b.add("demo-busy-5", Agent::claude, "/home/demo/src/dotfiles",
                     "Tidy the shell aliases", "claude-haiku-4-5", 0.07, 21000, "main");
  b.work(f, {{"Write", {{"file_path", "/home/demo/src/dotfiles/aliases.zsh"}}}}, false);
  b.finish(f, "Grouped the aliases by tool and removed three that shadowed real commands.", 12);
  return std::move(b.sessions);
}

// One of every request.
std::vector<Session> waitingScene(SceneBuilder& b, double window) {
  Session& a =
      b.add("demo-wait-1", Agent::claude, "/home/demo/src/talvane",
            "Clean up the build folder and rebuild", "claude-opus-4-5", 1.12, 96000, "cleanup");
  b.work(a, {{"Bash", {{"command", "ls build"}}}}, false);
  b.ask(a, "Bash", {{"command", "rm -rf build && cmake -S . -B build -G Ninja"}});
  Session& c =
      b.add("demo-wait-2", Agent::claude, "/home/demo/src/atlas", "Add a cache for the geocoder",
            "claude-sonnet-4-5", 0.58, 64000, "geocoder-cache");
  b.work(c, {{"Read", {{"file_path", "/home/demo/src/atlas/geo/lookup.py"}}}}, false);
  b.ask(c, "AskUserQuestion", kQuestionInput);
  Session& d = b.add("demo-wait-3", Agent::cursor, "/home/demo/src/website",
                     "Fix the broken footer links", "claude-sonnet-4-5", 0.22, 30000, "main");
  b.work(d, {{"Edit", {{"file_path", "/home/demo/src/website/src/footer.tsx"}}}}, false);
  b.finish(d, "The footer links now point at the new documentation paths.", 3);
  b.offerReply(d,
               "The footer links now point at the new documentation paths. Shall I also "
               "add a redirect for the old ones?",
               window);
  Session& e = b.add("demo-wait-4", Agent::copilot, "/home/demo/src/infra",
                     "Rotate the staging certificates", "gpt-5", 0.0, 0, "certs");
  b.work(e, {{"Bash", {{"command", "kubectl get certificates -n staging"}}}}, false);
  b.note(e, "Copilot wants to run kubectl apply in your terminal");
  return std::move(b.sessions);
}

// Every mood, and every kind of request.
std::vector<Session> mixedScene(SceneBuilder& b, double window) {
  Session& idle = b.add("demo-mix-1", Agent::claude, "/home/demo/src/dotfiles",
                        "Update the editor theme", "claude-haiku-4-5", 0.03, 12000, "main");
  b.finish(idle, "Switched the theme and reloaded the configuration.", 1500);
  Session& done = b.add("demo-mix-2", Agent::codex, "/home/demo/src/atlas",
                        "Bump the map tiles to the new style", "gpt-5-codex", 0.0, 0, "tiles");
  b.work(done, {{"Bash", {{"command", "make tiles"}}}}, false);
  b.finish(done, "Regenerated 412 tiles with the new style.", 20);
  Session& working = b.add("demo-mix-3", Agent::claude, "/home/demo/src/talvane",
                           "Make the hub's snapshot twice as fast", "claude-opus-4-5", 3.91, 412000,
                           "faster-snapshot");
  b.work(working,
         {{"Grep", {{"pattern", "visible()"}}},
          {"Read", {{"file_path", "/home/demo/src/talvane/src/hub/hub.cpp"}}},
          {"Edit", kEditInput},
          {"Read", {{"file_path", "/home/demo/src/talvane/src/hub/hub.h"}}},
          {"Edit", kEditInput},
          {"Bash", {{"command", "ninja -C build hub_tests && build/bin/hub_tests"}}}},
         true, 4);
  Session& permission =
      b.add("demo-mix-4", Agent::claude, "/home/demo/src/infra", "Deploy the new worker image",
            "claude-sonnet-4-5", 0.74, 88000, "deploy-worker");
  b.work(permission, {{"Read", {{"file_path", "/home/demo/src/infra/deploy.sh"}}}}, false);
  b.ask(permission, "Bash", {{"command", "./deploy.sh worker --env staging"}});
  Session& questions =
      b.add("demo-mix-5", Agent::claude, "/home/demo/src/geocoder", "Add a cache for the geocoder",
            "claude-sonnet-4-5", 0.31, 40000, "geocoder-cache");
  b.ask(questions, "AskUserQuestion", kQuestionInput);
  Session& reply = b.add("demo-mix-6", Agent::gemini, "/home/demo/src/notes",
                         "Summarise this week's meeting notes", "gemini-2.5-pro", 0.0, 0, "main");
  b.finish(reply, "Here are the five action items from this week.", 4);
  b.offerReply(reply,
               "Here are the five action items from this week. Want me to file them "
               "as issues?",
               window);
  Session& note = b.add("demo-mix-7", Agent::windsurf, "/home/demo/src/website",
                        "Migrate the blog to the new router", "swe-1", 0.0, 0, "router");
  b.work(note, {{"Edit", {{"file_path", "/home/demo/src/website/src/routes.ts"}}}}, false);
  b.note(note, "Windsurf needs your input");
  return std::move(b.sessions);
}

std::vector<Session> scene(const std::string& name, Date now, int replyWindow) {
  SceneBuilder b(now);
  const double window = replyWindow > 0 ? replyWindow : 15;
  if (name == "busy") return busyScene(b);
  if (name == "waiting") return waitingScene(b, window);
  return mixedScene(b, window);
}

}  // namespace

std::vector<std::string> Hub::demoScenes() { return {"busy", "waiting", "mixed"}; }

void Hub::loadDemo(const std::string& sceneName) {
  for (Session& s : sessions_) clearPending(s);
  sessions_.clear();
  cleared_.clear();
  selected_.reset();
  flash_.reset();
  prNews_.reset();
  for (Session s : scene(sceneName, loop_.now(), settings_.replyWindow())) {
    if (tucked_.erase(s.id)) saveTucked();
    s.pending.reset();
    if (s.mood == Mood::waiting) s.mood = Mood::working;
    sessions_.push_back(std::move(s));
  }
  reindex();
  demoPending(sceneName);
  changed();
}

void Hub::demoPending(const std::string& sceneName) {
  const Date now = loop_.now();
  for (const Session& sample : scene(sceneName, now, settings_.replyWindow())) {
    if (!sample.pending) continue;
    const Session* found = find(sample.id);
    if (!found || found->pending) continue;
    Session s = *found;
    s.pending = sample.pending;
    s.mood = sample.mood;
    s.updated = sample.updated;
    if (sample.finishedAt) s.finishedAt = sample.finishedAt;
    store(s);
  }
}

}  // namespace talvane
