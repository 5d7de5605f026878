#pragma once
// The remote user's files, reached with one shell command per operation (POSIX sh and
// coreutils there, nothing of ours). Contents travel on ssh's standard input and output; writes
// go through a temporary file beside the target and a rename, as locally. When ssh itself fails
// the operation throws IntegrationError naming the host, so that an installer stops rather
// than taking a lost connection for a missing file.

#include <string>

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

 private:
  RunResult run(const std::string& command, const std::string& input = {}) const;

  SshSession& session_;
  std::string home_;
  std::string configHome_;
};

}  // namespace talvane::remote
