#include "app/app_services.h"

#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <string>

#include "integrations/agent_hooks.h"
#include "integrations/cursor_hooks.h"
#include "integrations/hook_installer.h"
#include "integrations/integration.h"
#include "platform/files.h"
#include "platform/log.h"

namespace talvane {

namespace {

// Installer failures are reported by the next state the page receives, not here.
template <typename F>
void quietly(F&& f) {
  try {
    f();
  } catch (const std::exception& e) {
    log::debug("app", e.what());
  }
}

std::string pidFile() { return files::home() + "/.talvane/run/talvane.pid"; }

std::string exeOf(pid_t pid) {
  char buf[4096];
  ssize_t n = ::readlink(("/proc/" + std::to_string(pid) + "/exe").c_str(), buf, sizeof buf - 1);
  return n > 0 ? std::string(buf, static_cast<size_t>(n)) : std::string();
}

}  // namespace

bool AppServices::hooksInstalled() { return HookInstaller::isInstalled(); }
void AppServices::setHooksInstalled(bool on) {
  quietly([&] { on ? HookInstaller::install() : HookInstaller::uninstall(); });
}
bool AppServices::cursorInstalled() { return CursorHooks::isInstalled(); }
bool AppServices::cursorAvailable() { return CursorHooks::available(); }
void AppServices::setCursorInstalled(bool on) {
  quietly([&] { on ? CursorHooks::install() : CursorHooks::uninstall(); });
}
bool AppServices::integrationAvailable(std::string_view id) {
  auto i = Integration::named(id);
  return i && i->available();
}
std::optional<std::string> AppServices::integrationPath(std::string_view id) {
  auto i = Integration::named(id);
  if (!i) return std::nullopt;
  return i->path();
}
void AppServices::setIntegrationInstalled(std::string_view id, bool on) {
  auto i = Integration::named(id);
  if (!i) return;
  quietly([&] { on ? i->install() : i->uninstall(); });
}

bool AppServices::prefersDark() { return scheme_ && scheme_->prefersDark(); }

void takeOverFromOlderInstances(EventLoop& loop) {
  const std::string path = pidFile();
  const std::string self = exeOf(::getpid());
  if (auto text = files::read(path)) {
    const pid_t old = static_cast<pid_t>(std::atol(text->c_str()));
    // Only a running copy of this program: the file may name a pid reused by anything else.
    if (old > 1 && old != ::getpid() && !self.empty() &&
        files::lastComponent(exeOf(old)) == files::lastComponent(self)) {
      ::kill(old, SIGTERM);
      // The handle is dropped on purpose: the force-quit must outlive this call.
      static TimerHandle force;
      force = loop.after(1.2, [old, self] {
        if (files::lastComponent(exeOf(old)) == files::lastComponent(self)) ::kill(old, SIGKILL);
      });
    }
  }
  files::makeDirs(files::parent(path), 0700);
  if (auto why = files::writeAtomic(path, std::to_string(::getpid()) + "\n", 0600))
    log::debug("app", *why);
}

void releaseInstance() {
  const std::string path = pidFile();
  if (auto text = files::read(path); text && std::atol(text->c_str()) == ::getpid())
    ::unlink(path.c_str());
}

void refreshInstalledHooks() { AgentHooks::refreshAtStartup(); }

}  // namespace talvane
