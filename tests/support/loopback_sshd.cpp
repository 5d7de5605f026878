#include "support/loopback_sshd.h"

#include <arpa/inet.h>
#include <glib.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <sstream>
#include <vector>

#include "platform/files.h"

namespace talvane::testing {

namespace {

constexpr const char* kSshd = "/usr/sbin/sshd";

bool runSync(const std::vector<std::string>& argv, std::string* out = nullptr) {
  std::vector<char*> args;
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  gchar* output = nullptr;
  gint status = 0;
  const gboolean spawned =
      g_spawn_sync(nullptr, args.data(), nullptr,
                   static_cast<GSpawnFlags>(G_SPAWN_SEARCH_PATH | G_SPAWN_STDERR_TO_DEV_NULL),
                   nullptr, nullptr, &output, nullptr, &status, nullptr);
  if (out && output) *out = output;
  g_free(output);
  return spawned && g_spawn_check_wait_status(status, nullptr);
}

int freePort() {
  int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  int port = 0;
  if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0)
    port = ntohs(address.sin_port);
  ::close(fd);
  return port;
}

// True once the server has sent its identification line.
bool answers(int port) {
  int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  char banner[4] = {};
  const bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
                  ::read(fd, banner, sizeof banner) == 4 && std::string(banner, 4) == "SSH-";
  ::close(fd);
  return ok;
}

bool write(const std::string& path, const std::string& text, mode_t mode = 0600) {
  return !files::writeAtomic(path, text, mode);
}

std::string firstLine(const std::string& path) {
  std::string line;
  std::ifstream in(path);
  std::getline(in, line);
  return line;
}

}  // namespace

std::unique_ptr<LoopbackSshd> LoopbackSshd::start(const std::string& dir, std::string* why) {
  auto fail = [&](const std::string& reason) {
    if (why) *why = reason;
    return nullptr;
  };
  if (::access(kSshd, X_OK) != 0) return fail(std::string(kSshd) + " is not installed");
  std::unique_ptr<LoopbackSshd> server(new LoopbackSshd());
  server->port_ = freePort();
  server->remoteHome_ = dir + "/remote-home";
  files::makeDirs(server->remoteHome_, 0755);
  for (const char* key : {"host_key", "user_key", "stranger_key"}) {
    if (!runSync({"ssh-keygen", "-q", "-t", "ed25519", "-N", "", "-C", key, "-f", dir + "/" + key}))
      return fail("ssh-keygen failed");
  }
  // Privilege separation wants its empty directory when the server starts as root.
  if (::getuid() == 0) files::makeDirs("/run/sshd", 0755);

  const std::string port = std::to_string(server->port_);
  std::ostringstream sshd;
  sshd << "Port " << port << "\nListenAddress 127.0.0.1\nHostKey " << dir << "/host_key\n"
       << "PidFile none\nAuthorizedKeysFile " << dir << "/authorized_keys\nStrictModes no\n"
       << "PasswordAuthentication no\nKbdInteractiveAuthentication no\n"
       << "PermitRootLogin prohibit-password\nUsePAM no\nSetEnv HOME=" << server->remoteHome_
       << "\nLogLevel ERROR\n";
  std::ostringstream client;
  client << "Host *\n  HostName 127.0.0.1\n  Port " << port << "\n  User " << g_get_user_name()
         << "\n  IdentitiesOnly yes\n  IdentityAgent none\n"
         << "  UserKnownHostsFile " << dir << "/known_hosts\n  GlobalKnownHostsFile /dev/null\n"
         << "  StrictHostKeyChecking yes\n  LogLevel ERROR\n"
         << "Match originalhost remote\n  IdentityFile " << dir << "/user_key\n"
         << "Match originalhost nokey\n  IdentityFile " << dir << "/stranger_key\n";
  server->clientConfig_ = dir + "/ssh_config";
  server->wrapper_ = dir + "/ssh";
  if (!write(dir + "/sshd_config", sshd.str()) ||
      !write(dir + "/authorized_keys", firstLine(dir + "/user_key.pub") + "\n") ||
      !write(dir + "/known_hosts",
             "[127.0.0.1]:" + port + " " + firstLine(dir + "/host_key.pub") + "\n") ||
      !write(server->clientConfig_, client.str()) ||
      !write(server->wrapper_, "#!/bin/sh\nexec ssh -F '" + server->clientConfig_ + "' \"$@\"\n",
             0755))
    return fail("cannot write the server's files below " + dir);

  const std::string config = dir + "/sshd_config";
  const std::string log = dir + "/sshd.log";
  char* argv[] = {const_cast<char*>(kSshd),
                  const_cast<char*>("-D"),
                  const_cast<char*>("-E"),
                  const_cast<char*>(log.c_str()),
                  const_cast<char*>("-f"),
                  const_cast<char*>(config.c_str()),
                  nullptr};
  GPid pid = 0;
  GError* error = nullptr;
  if (!g_spawn_async(
          nullptr, argv, nullptr,
          static_cast<GSpawnFlags>(G_SPAWN_DO_NOT_REAP_CHILD | G_SPAWN_STDOUT_TO_DEV_NULL), nullptr,
          nullptr, &pid, &error)) {
    std::string reason = error->message;
    g_error_free(error);
    return fail("cannot start sshd: " + reason);
  }
  server->pid_ = pid;
  // Waiting for another program to come up: the one place the fixture waits on the clock.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (!answers(server->port_)) {
    int status = 0;
    if (::waitpid(pid, &status, WNOHANG) == pid) {
      server->pid_ = -1;
      return fail("sshd exited at start");
    }
    if (std::chrono::steady_clock::now() > deadline) return fail("sshd did not come up");
    g_usleep(20000);
  }
  return server;
}

LoopbackSshd::~LoopbackSshd() {
  if (pid_ <= 0) return;
  ::kill(pid_, SIGTERM);
  int status = 0;
  ::waitpid(pid_, &status, 0);
}

std::string LoopbackSshd::run(const std::string& command) const {
  std::string out;
  if (!runSync({wrapper_, "-o", "BatchMode=yes", "remote", command}, &out)) return {};
  return out;
}

}  // namespace talvane::testing
