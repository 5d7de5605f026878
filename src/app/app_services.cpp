#include "app/app_services.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>

#include "integrations/agent_hooks.h"
#include "integrations/cursor_hooks.h"
#include "integrations/hook_installer.h"
#include "integrations/integration.h"
#include "platform/files.h"
#include "platform/gobject.h"
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

// Held with a write lock for the running copy's whole life. The kernel drops the lock only when
// that process is gone, so a new copy that holds it knows the old one can no longer serve
// anything, and it learns the old one's pid from the kernel rather than from a file. A record
// lock: children do not inherit it, and closing any descriptor of the file in this process
// drops it, so nothing else here may open the file.
std::string lockFile() { return files::home() + "/.talvane/run/talvane.lock"; }
// Written by copies that predate the lock.
std::string legacyPidFile() { return files::home() + "/.talvane/run/talvane.pid"; }

UniqueFd& instanceLock() {
  static UniqueFd fd;
  return fd;
}

struct flock wholeFile() {
  struct flock lock {};
  lock.l_type = F_WRLCK;
  lock.l_whence = SEEK_SET;
  return lock;
}

bool tryLock(int fd) {
  struct flock lock = wholeFile();
  return ::fcntl(fd, F_SETLK, &lock) == 0;
}

pid_t lockHolder(int fd) {
  struct flock lock = wholeFile();
  if (::fcntl(fd, F_GETLK, &lock) != 0 || lock.l_type == F_UNLCK) return 0;
  return lock.l_pid;
}

}  // namespace

Json AppServices::remotes() { return remotes_ ? remotes_->pageJson() : PrefsServices::remotes(); }

void AppServices::runRemote(const std::string& verb, const std::string& destination) {
  if (remotes_) remotes_->runCommand(verb, destination);
}

Handover Handover::real(std::function<pid_t()> holder, std::function<bool()> gone) {
  Handover h;
  h.holder = std::move(holder);
  h.gone = std::move(gone);
  h.signal = [](pid_t pid, int number) { ::kill(pid, number); };
  h.pause = [] { ::usleep(20000); };
  h.clock = [] {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
  };
  return h;
}

void handOver(const Handover& h) {
  // The copy is asked again before each signal, so that a pid reused meanwhile is never hit.
  const auto send = [&](int number) {
    if (pid_t pid = h.holder(); pid > 0) h.signal(pid, number);
  };
  const auto within = [&](double seconds) {
    for (const double deadline = h.clock() + seconds;;) {
      if (h.gone()) return true;
      if (h.clock() >= deadline) return false;
      h.pause();
    }
  };
  send(SIGTERM);
  if (within(Handover::kPoliteWait)) return;
  send(SIGKILL);
  // A killed copy may still take a while to end (stuck in a flush to a busy disk), and until it
  // has, taking its place would run two copies, and giving up would leave none: wait it out.
  for (bool told = false; !within(Handover::kForcedWait);) {
    if (!std::exchange(told, true))
      log::line("Talvane: waiting for the running copy (pid " + std::to_string(h.holder()) +
                ") to end");
    send(SIGKILL);
  }
}

namespace {

std::string exeOf(pid_t pid) {
  char buf[4096];
  ssize_t n = ::readlink(("/proc/" + std::to_string(pid) + "/exe").c_str(), buf, sizeof buf - 1);
  std::string path = n > 0 ? std::string(buf, static_cast<size_t>(n)) : std::string();
  // A copy whose binary was rebuilt or updated since it started is still a copy.
  constexpr std::string_view kDeleted = " (deleted)";
  if (path.ends_with(kDeleted)) path.resize(path.size() - kDeleted.size());
  return path;
}

// A copy from before the lock, found through its pid file; the file may name a pid since reused
// by anything else, so only a running program of this name counts.
void stopLegacyCopy() {
  const std::string path = legacyPidFile();
  auto text = files::read(path);
  if (!text) return;
  const pid_t old = static_cast<pid_t>(std::atol(text->c_str()));
  const std::string self = files::lastComponent(exeOf(::getpid()));
  auto isCopy = [&] { return !self.empty() && files::lastComponent(exeOf(old)) == self; };
  if (old > 1 && old != ::getpid() && isCopy())
    handOver(Handover::real([&] { return isCopy() ? old : 0; }, [&] { return !isCopy(); }));
  ::unlink(path.c_str());
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

void AppServices::reloadHotKeys() {
  if (onHotKeysChanged) onHotKeysChanged();
}

void takeOverFromOlderInstances() {
  const std::string path = lockFile();
  files::makeDirs(files::parent(path), 0700);
  UniqueFd fd(::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600));
  if (!fd) {
    log::debug("app", "cannot open " + path + ": " + std::strerror(errno));
    return;
  }
  // Only once the lock is ours is the older copy gone, its socket file with it: the socket is
  // bound after this returns, so the older copy can never remove or outlive it.
  if (!tryLock(fd.get()))
    handOver(
        Handover::real([&] { return lockHolder(fd.get()); }, [&] { return tryLock(fd.get()); }));
  stopLegacyCopy();
  const std::string pid = std::to_string(::getpid()) + "\n";
  if (::ftruncate(fd.get(), 0) != 0 || ::pwrite(fd.get(), pid.data(), pid.size(), 0) < 0)
    log::debug("app", "cannot write " + path + ": " + std::strerror(errno));
  instanceLock() = std::move(fd);
}

void releaseInstance() { instanceLock().reset(); }

void refreshInstalledHooks() { AgentHooks::refreshAtStartup(); }

}  // namespace talvane
