#include "platform/files.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <random>

namespace talvane::files {

std::string home() {
  if (const char* h = std::getenv("HOME"); h && *h) return h;
  if (const passwd* pw = getpwuid(getuid()); pw && pw->pw_dir) return pw->pw_dir;
  return "/";
}

std::string configHome() {
  if (const char* x = std::getenv("XDG_CONFIG_HOME"); x && x[0] == '/') return x;
  return home() + "/.config";
}

int openRegular(const std::string& path) {
  // Looking first spares devices the side effects of being opened at all; the descriptor is
  // checked again, since the file may be replaced in between.
  struct stat st;
  if (::stat(path.c_str(), &st) != 0) return -1;
  if (!S_ISREG(st.st_mode)) {
    errno = S_ISDIR(st.st_mode) ? EISDIR : EINVAL;
    return -1;
  }
  int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) return -1;
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    ::close(fd);
    errno = EINVAL;
    return -1;
  }
  ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
  return fd;
}

std::optional<std::string> read(const std::string& path) {
  int fd = openRegular(path);
  if (fd < 0) return std::nullopt;
  std::string data;
  char buf[65536];
  for (;;) {
    ssize_t n = ::read(fd, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      ::close(fd);
      return std::nullopt;
    }
    if (n == 0) break;
    data.append(buf, static_cast<size_t>(n));
  }
  ::close(fd);
  return data;
}

bool exists(const std::string& path) {
  struct stat st;
  return ::lstat(path.c_str(), &st) == 0;
}

bool isDirectory(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool makeDirs(const std::string& path, mode_t mode) {
  if (path.empty()) return false;
  if (isDirectory(path)) return true;
  std::string up = parent(path);
  if (!up.empty() && up != path && !isDirectory(up)) makeDirs(up, mode);
  if (::mkdir(path.c_str(), mode) == 0) return true;
  return isDirectory(path);
}

namespace {
std::string& programOverride() {
  static std::string path;
  return path;
}
}  // namespace

std::string program() {
  if (!programOverride().empty()) return programOverride();
  char buf[4096];
  const ssize_t n = ::readlink("/proc/self/exe", buf, sizeof buf);
  if (n <= 0 || static_cast<std::size_t>(n) >= sizeof buf) return {};
  std::string exe(buf, static_cast<std::size_t>(n));
  // The binary was replaced under us (an upgrade): the new one lives at the same path.
  constexpr std::string_view deleted = " (deleted)";
  if (exe.size() > deleted.size() && exe.ends_with(deleted))
    exe.resize(exe.size() - deleted.size());
  return exe;
}

void setProgram(std::string path) { programOverride() = std::move(path); }

std::string parent(std::string_view path) {
  while (path.size() > 1 && path.back() == '/') path.remove_suffix(1);
  auto slash = path.rfind('/');
  if (slash == std::string_view::npos) return ".";
  if (slash == 0) return "/";
  return std::string(path.substr(0, slash));
}

std::string lastComponent(std::string_view path) {
  while (path.size() > 1 && path.back() == '/') path.remove_suffix(1);
  auto slash = path.rfind('/');
  if (slash == std::string_view::npos || path.size() == 1) return std::string(path);
  return std::string(path.substr(slash + 1));
}

std::optional<std::string> writeAtomic(const std::string& path, std::string_view data,
                                       mode_t mode) {
  const std::string dir = parent(path);
  if (!makeDirs(dir)) return "cannot create " + dir;
  std::random_device rd;
  const std::string tmp = path + ".tmp-" + std::to_string(::getpid()) + "-" + std::to_string(rd());
  int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode);
  if (fd < 0) return "cannot write " + tmp + ": " + std::strerror(errno);
  auto fail = [&](const char* what) {
    std::string why = std::string(what) + " " + tmp + ": " + std::strerror(errno);
    ::close(fd);
    ::unlink(tmp.c_str());
    return why;
  };
  size_t done = 0;
  while (done < data.size()) {
    ssize_t n = ::write(fd, data.data() + done, data.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return fail("cannot write");
    done += static_cast<size_t>(n);
  }
  ::fchmod(fd, mode);
  if (::fsync(fd) != 0) return fail("cannot sync");
  if (::close(fd) != 0) {
    ::unlink(tmp.c_str());
    return "cannot close " + tmp;
  }
  if (::rename(tmp.c_str(), path.c_str()) != 0) {
    std::string why = "cannot replace " + path + ": " + std::strerror(errno);
    ::unlink(tmp.c_str());
    return why;
  }
  if (int dfd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC); dfd >= 0) {
    ::fsync(dfd);
    ::close(dfd);
  }
  return std::nullopt;
}

}  // namespace talvane::files
