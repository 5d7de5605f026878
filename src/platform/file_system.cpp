#include "platform/file_system.h"

#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "platform/files.h"

namespace talvane {

namespace {

// The reason at the end of a files:: error ("cannot write /x/.y.tmp-1-2: No space left on
// device").
std::string reasonOf(const std::string& why) {
  const auto colon = why.rfind(": ");
  return colon == std::string::npos ? why : why.substr(colon + 2);
}

class LocalFileSystem final : public FileSystem {
 public:
  std::string home() const override { return files::home(); }
  std::string configHome() const override { return files::configHome(); }

  FileFacts facts(const std::string& path) const override {
    FileFacts facts;
    struct stat st;
    if (::lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) {
      facts.link = true;
      char target[4096];
      const ssize_t n = ::readlink(path.c_str(), target, sizeof target - 1);
      if (n > 0) facts.linkText.assign(target, static_cast<size_t>(n));
    }
    if (::stat(path.c_str(), &st) != 0) {
      if (facts.link && errno != ENOENT) facts.linkError = std::strerror(errno);
      return facts;
    }
    facts.exists = true;
    facts.directory = S_ISDIR(st.st_mode);
    facts.mode = st.st_mode & 07777;
    facts.writable = ::access(path.c_str(), W_OK) == 0;
    facts.executable = !facts.directory && ::access(path.c_str(), X_OK) == 0;
    if (facts.link) {
      if (char* real = ::realpath(path.c_str(), nullptr)) {
        facts.resolved = real;
        ::free(real);
      }
    }
    return facts;
  }

  std::optional<std::string> read(const std::string& path, std::string* why) const override {
    auto text = files::read(path);
    if (!text && why) *why = std::strerror(errno);
    return text;
  }

  std::optional<std::string> writeAtomic(const std::string& path, std::string_view data,
                                         unsigned mode) override {
    if (auto why = files::writeAtomic(path, data, static_cast<mode_t>(mode)))
      return "cannot write " + path + ": " + reasonOf(*why);
    return std::nullopt;
  }

  std::optional<std::string> makeDirs(const std::string& path, unsigned mode) override {
    if (files::makeDirs(path, static_cast<mode_t>(mode))) return std::nullopt;
    return std::string(std::strerror(errno));
  }

  std::optional<std::string> remove(const std::string& path) override {
    if (::unlink(path.c_str()) == 0 || errno == ENOENT) return std::nullopt;
    return std::string(std::strerror(errno));
  }

  bool onPath(std::string_view executable) const override {
    const char* path = std::getenv("PATH");
    if (!path) return false;
    std::string_view rest = path;
    while (!rest.empty()) {
      auto colon = rest.find(':');
      std::string_view dir = rest.substr(0, colon);
      rest = colon == std::string_view::npos ? std::string_view() : rest.substr(colon + 1);
      if (dir.empty()) continue;
      std::string candidate = std::string(dir) + "/" + std::string(executable);
      if (!files::isDirectory(candidate) && ::access(candidate.c_str(), X_OK) == 0) return true;
    }
    return false;
  }
};

}  // namespace

bool FileSystem::holds(const std::string& path, std::string_view data) const {
  auto text = read(path);
  return text && *text == data;
}

std::string FileSystem::displayPath(const std::string& path) const {
  const std::string dir = home();
  if (dir.size() > 1 && path.size() > dir.size() && path.compare(0, dir.size(), dir) == 0 &&
      path[dir.size()] == '/')
    return "~" + path.substr(dir.size());
  return path;
}

FileSystem& FileSystem::local() {
  static LocalFileSystem fs;
  return fs;
}

}  // namespace talvane
