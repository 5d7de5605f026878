#pragma once
// The file system the agents' installers work on: this machine's, or a remote user's reached
// over ssh. Failures are values, as in files.h; the reasons are the system's own words
// ("Permission denied"), so messages read the same whichever machine the file is on.

#include <optional>
#include <string>
#include <string_view>

namespace talvane {

// What one look at a path tells.
struct FileFacts {
  bool exists = false;      // links followed: a link to nothing does not exist
  bool directory = false;   // links followed
  bool link = false;        // the path itself is a symbolic link
  bool writable = false;    // this user may write it
  bool executable = false;  // a file (not a directory) this user may run
  unsigned mode = 0;        // permission bits, links followed
  std::string linkText;     // a link's target as written in it
  std::string resolved;     // a link's target as a canonical path, when it exists
  // Why a link's target cannot be reached when that is not because it is missing; else empty.
  std::string linkError;
};

class FileSystem {
 public:
  virtual ~FileSystem() = default;

  virtual std::string home() const = 0;
  // $XDG_CONFIG_HOME when absolute, else home() + "/.config", as that machine sees it.
  virtual std::string configHome() const = 0;

  virtual FileFacts facts(const std::string& path) const = 0;
  // The whole content of a regular file; absent otherwise, with `why` (when given) the reason.
  virtual std::optional<std::string> read(const std::string& path,
                                          std::string* why = nullptr) const = 0;
  // Whether the file is there holding exactly `data`.
  virtual bool holds(const std::string& path, std::string_view data) const;
  // Writes through a temporary file in the same directory and a rename, creating the parent
  // directory; the file gets `mode`. Empty on success, else "cannot write <path>: <reason>".
  virtual std::optional<std::string> writeAtomic(const std::string& path, std::string_view data,
                                                 unsigned mode) = 0;
  // Creates the directory and its parents. Empty when it exists afterwards, else the reason.
  virtual std::optional<std::string> makeDirs(const std::string& path, unsigned mode = 0755) = 0;
  // Removes a file; one already gone is no failure. Empty on success, else the reason.
  virtual std::optional<std::string> remove(const std::string& path) = 0;
  // An executable of that name in one of PATH's directories.
  virtual bool onPath(std::string_view executable) const = 0;

  bool exists(const std::string& path) const { return facts(path).exists; }
  bool isDirectory(const std::string& path) const { return facts(path).directory; }
  // `path` with the home directory shown as "~".
  std::string displayPath(const std::string& path) const;

  // This machine's, for this process's user.
  static FileSystem& local();
};

}  // namespace talvane
