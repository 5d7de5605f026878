// The real `talvane remote` against an sshd of the test's own standing in for the remote host.
#include <glib.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <thread>

#include "integrations/hook_installer.h"
#include "platform/files.h"
#include "platform/json.h"
#include "remote/remote_setup.h"
#include "support/loopback_sshd.h"
#include "support/test_home.h"

namespace talvane::remote {
namespace {

const std::string kTalvane = TALVANE_BIN_DIR "/talvane";
const std::string kRelay = TALVANE_BIN_DIR "/talvane-hook";

struct Ran {
  int status = -1;
  std::string out;
  std::string err;
};

class RemoteAddTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    dir_ = new testing::TempDir();
    server_ = testing::LoopbackSshd::start(dir_->path(), &why_).release();
  }
  static void TearDownTestSuite() {
    delete server_;
    server_ = nullptr;
    delete dir_;
  }

  void SetUp() override {
    if (!files::exists(kTalvane) || !files::exists(kRelay)) GTEST_SKIP() << "talvane is not built";
    ASSERT_TRUE(server_) << why_;
    // Each test starts from an empty remote home.
    testing::removeTree(server_->remoteHome());
    files::makeDirs(server_->remoteHome(), 0755);
  }

  std::string remote(const std::string& relative) const {
    return server_->remoteHome() + "/" + relative;
  }
  void seed(const std::string& relative, const std::string& text, mode_t mode = 0644) const {
    files::writeAtomic(remote(relative), text, mode);
  }

  // The command with its standard input from /dev/null and no terminal, as from a script.
  Ran talvane(const std::vector<std::string>& args) const {
    std::vector<std::string> argv{kTalvane};
    argv.insert(argv.end(), args.begin(), args.end());
    std::vector<char*> raw;
    for (std::string& a : argv) raw.push_back(a.data());
    raw.push_back(nullptr);
    gchar** env = g_get_environ();
    env = g_environ_setenv(env, "TALVANE_SSH", server_->wrapper().c_str(), TRUE);
    gchar* out = nullptr;
    gchar* err = nullptr;
    gint wait = 0;
    Ran run;
    if (g_spawn_sync(nullptr, raw.data(), env, G_SPAWN_DEFAULT, nullptr, nullptr, &out, &err, &wait,
                     nullptr)) {
      run.out = out ? out : "";
      run.err = err ? err : "";
      if (WIFEXITED(wait)) run.status = WEXITSTATUS(wait);
    }
    g_free(out);
    g_free(err);
    g_strfreev(env);
    return run;
  }

  Json recorded() const {
    auto text = files::read(files::configHome() + "/talvane/settings.json");
    auto value = text ? json::parse(*text) : std::nullopt;
    const Json* hosts = value ? json::member(*value, "remoteHosts") : nullptr;
    return hosts ? *hosts : Json(nullptr);
  }

  testing::TestHome home_;
  static testing::TempDir* dir_;
  static testing::LoopbackSshd* server_;
  static std::string why_;
};

testing::TempDir* RemoteAddTest::dir_ = nullptr;
testing::LoopbackSshd* RemoteAddTest::server_ = nullptr;
std::string RemoteAddTest::why_;

// Stands in for the running app on its socket: answers `count` requests in turn with `answers`
// and keeps the lines it got.
class FakeApp {
 public:
  FakeApp(std::vector<std::string> answers) : answers_(std::move(answers)) {
    const std::string path = files::home() + "/.talvane/run/talvane.sock";
    files::makeDirs(files::parent(path), 0700);
    listener_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
    ::unlink(path.c_str());
    ::bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address);
    ::listen(listener_, 4);
    thread_ = std::thread([this] { serve(); });
  }
  ~FakeApp() {
    if (thread_.joinable()) thread_.join();
    ::close(listener_);
  }
  // The request lines, once every answer was given (or a wait ran out).
  const std::vector<std::string>& requests() {
    if (thread_.joinable()) thread_.join();
    return requests_;
  }

 private:
  void serve() {
    for (const std::string& answer : answers_) {
      pollfd wait{listener_, POLLIN, 0};
      if (::poll(&wait, 1, 30000) <= 0) return;
      const int fd = ::accept(listener_, nullptr, nullptr);
      std::string line;
      char c;
      while (::read(fd, &c, 1) == 1 && c != '\n') line.push_back(c);
      requests_.push_back(line);
      (void)!::write(fd, answer.data(), answer.size());
      ::close(fd);
    }
  }
  std::vector<std::string> answers_;
  std::vector<std::string> requests_;
  int listener_ = -1;
  std::thread thread_;
};

mode_t modeOf(const std::string& path) {
  struct stat st {};
  ::stat(path.c_str(), &st);
  return st.st_mode & 07777;
}

TEST_F(RemoteAddTest, AddInstallsTheRelayAndHooksThereAndRemoveGivesBackTheBytes) {
  const std::string claude =
      "// mine\n{\n    \"model\": \"opus\",   /* odd layout */\n\n  \"hooks\": {\"Stop\": [\n"
      "      {\"hooks\": [{\"type\": \"command\", \"command\": \"say done\"}]}]}\n}\n";
  const std::string gemini = "{\n  // theme\n  \"theme\": \"Dracula\"\n}\n";
  seed(".claude/settings.json", claude);
  seed(".gemini/settings.json", gemini);
  seed(".codex/config.toml", "");

  const Ran added = talvane({"remote", "add", "remote"});
  ASSERT_EQ(added.status, 0) << added.out << added.err;
  EXPECT_EQ(added.err, "");
  for (const char* line : {"Checking remote…\n", "Copying talvane-hook…\n",
                           "Connected Claude Code (~/.claude/settings.json)\n",
                           "Connected Gemini CLI (~/.gemini/settings.json)\n",
                           "Codex on remote: its sessions there are not shown yet"})
    EXPECT_NE(added.out.find(line), std::string::npos) << line << " in:\n" << added.out;

  EXPECT_EQ(files::read(remote(".talvane/bin/talvane-hook")), files::read(kRelay));
  EXPECT_EQ(modeOf(remote(".talvane/bin/talvane-hook")), 0755u);
  EXPECT_EQ(modeOf(remote(".talvane/run")), 0700u);
  const std::string connected = files::read(remote(".claude/settings.json")).value_or("");
  EXPECT_NE(connected.find("talvane-hook\\\" claude"), std::string::npos);
  EXPECT_EQ(connected.substr(0, 8), "// mine\n");
  EXPECT_EQ(files::read(remote(".claude/settings.json.talvane-backup")), claude);

  const Json hosts = recorded();
  ASSERT_TRUE(hosts.is_array() && hosts.size() == 1) << hosts.dump();
  EXPECT_EQ(hosts[0].value("destination", ""), "remote");
  EXPECT_EQ(hosts[0].value("home", ""), server_->remoteHome());
  EXPECT_EQ(hosts[0]["agents"], Json::array({"claude", "gemini"}));
  EXPECT_EQ(hosts[0].value("codex", false), true);
  EXPECT_NE(talvane({"remote", "list"}).out.find("claude,gemini"), std::string::npos);
  EXPECT_NE(talvane({"remote", "status"}).out.find("app not running"), std::string::npos);

  const Ran removed = talvane({"remote", "remove", "remote"});
  ASSERT_EQ(removed.status, 0) << removed.out << removed.err;
  EXPECT_EQ(files::read(remote(".claude/settings.json")), claude);
  EXPECT_EQ(files::read(remote(".gemini/settings.json")), gemini);
  EXPECT_TRUE(files::exists(remote(".talvane/bin/talvane-hook")));  // the relay stays
  EXPECT_EQ(recorded(), Json::array());
}

TEST_F(RemoteAddTest, ARemoteFileRefusedThereIsRefusedWithTheLocalMessage) {
  seed(".gemini/settings.json", "{\"theme\": \"Dracula\"}\n", 0444);
  seed(".claude/settings.json", "[1]\n");
  const Ran added = talvane({"remote", "add", "remote"});
  EXPECT_EQ(added.status, 1);
  EXPECT_NE(added.err.find("talvane: cannot connect Gemini CLI: ~/.gemini/settings.json is "
                           "read-only, so it was left as it is\n"),
            std::string::npos)
      << added.err;
  EXPECT_NE(added.err.find("talvane: cannot connect Claude Code: ~/.claude/settings.json is not "
                           "a JSON object\n"),
            std::string::npos)
      << added.err;
  EXPECT_EQ(files::read(remote(".gemini/settings.json")), "{\"theme\": \"Dracula\"}\n");
  EXPECT_FALSE(files::exists(remote(".gemini/settings.json.talvane-backup")));
}

TEST_F(RemoteAddTest, AHostWithoutKeyAuthenticationFailsAtOnceAndSaysWhy) {
  const Ran added = talvane({"remote", "add", "nokey"});
  EXPECT_EQ(added.status, 1);
  EXPECT_EQ(added.err,
            "talvane: cannot reach nokey: it needs key or ssh-agent authentication (Talvane never "
            "asks for a password); check with: ssh nokey true\n");
  EXPECT_EQ(recorded(), nullptr);
  EXPECT_FALSE(files::exists(remote(".talvane")));

  // Forgetting a host that cannot be reached still forgets it.
  RemoteHost gone{"nokey", "/home/x", "", "", {"claude"}, false};
  files::writeAtomic(files::configHome() + "/talvane/settings.json",
                     Json{{"remoteHosts", Json::array({RemoteHosts::toJson(gone)})}}.dump());
  const Ran removed = talvane({"remote", "remove", "nokey"});
  EXPECT_EQ(removed.status, 0) << removed.err;
  EXPECT_NE(removed.out.find("The hooks on nokey stay there"), std::string::npos) << removed.out;
  EXPECT_EQ(recorded(), Json::array());
}

// The running app keeps the settings in memory: it is told, and the file is left to it.
TEST_F(RemoteAddTest, TheRunningAppIsToldAndShowsEachHostsState) {
  seed(".gemini/settings.json", "{}");
  FakeApp app({"{\"ok\":true}\n",
               R"({"hosts":[{"destination":"remote","machine":"box\u001b[31m","state":"retrying",)"
               R"("detail":"ssh: connection refused","codex":true}]})"
               "\n"});
  const Ran added = talvane({"remote", "add", "remote"});
  EXPECT_EQ(added.status, 0) << added.err;
  const Ran status = talvane({"remote", "status"});
  ASSERT_EQ(app.requests().size(), 2u);
  auto request = json::parse(app.requests()[0]);
  ASSERT_TRUE(request) << app.requests()[0];
  EXPECT_EQ(json::string(*request, "_query"), "remoteAdd");
  const Json* host = json::object(*request, "host");
  ASSERT_TRUE(host);
  EXPECT_EQ(json::string(*host, "destination"), "remote");
  EXPECT_EQ((*host)["agents"], Json::array({"gemini"}));
  EXPECT_EQ(app.requests()[1], R"({"_query":"remotes"})");
  EXPECT_EQ(recorded(), nullptr);
  EXPECT_EQ(status.status, 0);
  EXPECT_NE(status.out.find("box?[31m"), std::string::npos) << status.out;
  EXPECT_NE(status.out.find("retrying"), std::string::npos);
  EXPECT_NE(status.out.find("Codex on remote:"), std::string::npos);
}

}  // namespace
}  // namespace talvane::remote
