#pragma once
// The remote user's files, reached with one shell command per operation (POSIX sh and
// coreutils there, nothing of ours). Contents travel on ssh's standard input and output; writes
// go through a temporary file beside the target and a rename, as locally. When ssh itself fails
// the operation throws IntegrationError naming the host, so that an installer stops rather
// than taking a lost connection for a missing file.
//
// Each answer is kept until the next change made through it, so the installers' repeated looks
// at the same files cost no further round trips; the remote user is not expected to edit the
// same files during the few seconds of one command.

#include <map>
#include <set>
#include <string>
#include <vector>

#include "platform/file_system.h"
#include "remote/ssh_session.h"

namespace talvane::remote {

class RemoteFileSystem final : public FileSystem {
 public:
  // `home` and `configHome` as the remote reported them.
  RemoteFileSystem(SshSession& session, std::string home, std::string configHome);

  std::string home() const override { return home_; }
  std::string configHome() const override { return configHome_; }
  FileFacts facts(const std::string& path) const override;
  std::optional<std::string> read(const std::string& path, std::string* why) const override;
  bool holds(const std::string& path, std::string_view data) const override;
  std::optional<std::string> writeAtomic(const std::string& path, std::string_view data,
                                         unsigned mode) override;
  std::optional<std::string> makeDirs(const std::string& path, unsigned mode) override;
  std::optional<std::string> remove(const std::string& path) override;
  bool onPath(std::string_view executable) const override;

  // Looks at all of `paths` and `executables` (as onPath) in one round trip, so that the
  // questions asked next are answered from what was found.
  void lookAhead(const std::vector<std::string>& paths,
                 const std::vector<std::string>& executables) const;

 private:
  RunResult run(const std::string& command, const std::string& input = {}) const;
  void changed() const;  // forgets what a change may have made untrue

  SshSession& session_;
  std::string home_;
  std::string configHome_;
  mutable std::map<std::string, FileFacts> facts_;
  mutable std::map<std::string, std::string> reads_;
  mutable std::map<std::string, std::string> digests_;  // SHA-256 of the file's content
  mutable std::map<std::string, bool> onPath_;
  std::set<std::string> made_;  // directories known to exist
};

}  // namespace talvane::remote
