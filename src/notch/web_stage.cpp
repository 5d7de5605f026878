#include "notch/web_stage.h"

#include <unistd.h>

#include <cstdlib>
#include <vector>

#include "platform/files.h"

namespace talvane {

namespace {

std::string exeDirectory() {
  const std::string program = files::program();
  return program.empty() ? std::string() : files::parent(program);
}

std::string cwd() {
  char buf[4096];
  return ::getcwd(buf, sizeof buf) ? std::string(buf) : std::string(".");
}

bool validUrl(std::string_view s) {
  auto colon = s.find("://");
  if (colon == std::string_view::npos || colon == 0) return false;
  for (char c : s.substr(0, colon))
    if (!std::isalnum(static_cast<unsigned char>(c)) && c != '+' && c != '-' && c != '.')
      return false;
  return s.size() > colon + 3 && s.find_first_of(" \t\r\n") == std::string_view::npos;
}

}  // namespace

WebStage::WebStage(std::string route) : route_(std::move(route)) {}

std::vector<std::string> WebStage::candidateDirectories() {
  std::vector<std::string> dirs;
  if (const char* d = std::getenv("TALVANE_WEB_DIR"); d && *d) dirs.emplace_back(d);
  if (auto exe = exeDirectory(); !exe.empty()) {
    dirs.push_back(files::parent(exe) + "/share/talvane/web");  // installed: <prefix>/share
  }
  dirs.push_back(cwd() + "/web/dist");
  if (auto exe = exeDirectory(); !exe.empty()) {
    // A build tree's build/bin/talvane finds the checkout's page wherever it is started from.
    dirs.push_back(files::parent(files::parent(exe)) + "/web/dist");
  }
  return dirs;
}

PageSource WebStage::chooseSource(const std::string& route) {
  PageSource source;
  source.route = route;
  if (const char* dev = std::getenv("TALVANE_DEV_URL"); dev && validUrl(dev)) {
    source.kind = PageSource::Kind::kUrl;
    std::string joined = std::string(dev) + route;
    source.url = validUrl(joined) ? joined : std::string(dev);
    return source;
  }
  for (const auto& dir : candidateDirectories()) {
    if (files::exists(dir + "/index.html")) {
      source.kind = PageSource::Kind::kDirectory;
      source.directory = dir;
      return source;
    }
  }
  source.kind = PageSource::Kind::kFallback;
  return source;
}

void WebStage::load() {
  ready_ = false;
  source_ = chooseSource(route_);
  if (host_) host_->load(source_);
}

void WebStage::send(std::string_view type, const Json& payload) {
  if (!payload.is_object()) return;
  Json message = payload;
  message["type"] = type;
  std::string text;
  try {
    text = message.dump();  // strict: a payload that is not valid UTF-8 is dropped, not mangled
  } catch (const Json::exception&) {
    return;
  }
  const bool state = type == "state";
  if (ready_) {
    if (state) ++statesSent_;
    if (host_) state ? host_->deliverState(text) : host_->deliver(text);
    return;
  }
  if (state) {
    // Each state is complete: only the newest one is worth delivering.
    std::erase_if(queued_, [&](const Queued& q) {
      if (q.state) queuedBytes_ -= q.text.size();
      return q.state;
    });
  }
  queuedBytes_ += text.size();
  queued_.push_back({std::move(text), state});
  trimQueue();
}

void WebStage::trimQueue() {
  auto over = [&] { return queued_.size() > kMaxQueued || queuedBytes_ > kMaxQueuedBytes; };
  for (auto it = queued_.begin(); over() && it != queued_.end();) {
    if (it->state) {
      ++it;
      continue;
    }
    queuedBytes_ -= it->text.size();
    it = queued_.erase(it);
  }
}

void WebStage::receive(const Json& message) {
  if (!message.is_object()) return;
  auto type = json::string(message, "type");
  if (type && *type == "ready") {
    ready_ = true;
    std::deque<Queued> taken;
    taken.swap(queued_);
    queuedBytes_ = 0;
    const std::uint64_t before = statesSent_;
    if (onMessage) onMessage(message);
    // A state sent by the handler is newer than any queued one: never replay an older one after it.
    const bool fresh = statesSent_ != before;
    for (const auto& q : taken) {
      if (fresh && q.state) continue;
      if (q.state) ++statesSent_;
      if (host_) q.state ? host_->deliverState(q.text) : host_->deliver(q.text);
    }
    return;
  }
  if (onMessage) onMessage(message);
}

std::string WebStage::script(const std::string& message) {
  return "window.__talvane && window.__talvane.receive(" + message + ");";
}

std::string WebStage::fallbackPage() {
  return R"(<!doctype html><html><head><meta charset="utf-8"><style>
html,body{margin:0;background:transparent;font:13px system-ui,-apple-system,sans-serif}
.box{width:420px;margin:0 auto;background:#000;color:#fff;border-radius:0 0 22px 22px;
padding:48px 20px 18px;text-align:center}
.dim{opacity:.6}
</style></head><body><div class="box"><b>Talvane</b> — web bundle missing.<br>
<span class="dim">Run <code>npm run build</code> in <code>web/</code>, then relaunch.</span>
</div></body></html>)";
}

}  // namespace talvane
