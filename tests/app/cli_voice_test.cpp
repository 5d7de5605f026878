// `talvane dictate` and `talvane talk` as the user runs them.
#include <gio/gio.h>
#include <gtest/gtest.h>

#include "bridge/bridge.h"
#include "bridge/bridge_fakes.h"
#include "platform/files.h"
#include "platform/json.h"
#include "support/test_home.h"

namespace talvane {
namespace {

const std::string kApp = TALVANE_BIN_DIR "/talvane";

struct Outcome {
  int status = -1;
  std::string out, err;
};

// Runs the app's command line while the main loop keeps serving (a Bridge in the test).
Outcome run(std::vector<std::string> args) {
  std::vector<const char*> argv{kApp.c_str()};
  for (auto& a : args) argv.push_back(a.c_str());
  argv.push_back(nullptr);
  Outcome r;
  GError* error = nullptr;
  GSubprocess* p = g_subprocess_newv(argv.data(),
                                     static_cast<GSubprocessFlags>(G_SUBPROCESS_FLAGS_STDOUT_PIPE |
                                                                   G_SUBPROCESS_FLAGS_STDERR_PIPE),
                                     &error);
  if (!p) {
    g_clear_error(&error);
    return r;
  }
  bool done = false;
  char *out = nullptr, *err = nullptr;
  struct Ctx {
    bool* done;
    char** out;
    char** err;
  } ctx{&done, &out, &err};
  g_subprocess_communicate_utf8_async(
      p, nullptr, nullptr,
      +[](GObject* source, GAsyncResult* result, gpointer data) {
        auto* c = static_cast<Ctx*>(data);
        g_subprocess_communicate_utf8_finish(G_SUBPROCESS(source), result, c->out, c->err, nullptr);
        *c->done = true;
      },
      &ctx);
  testing::runUntil([&] { return done; }, 120);
  g_subprocess_wait(p, nullptr, nullptr);
  r.status = g_subprocess_get_exit_status(p);
  r.out = out ? out : "";
  r.err = err ? err : "";
  g_free(out);
  g_free(err);
  g_object_unref(p);
  return r;
}

TEST(Dictate, TextIsCleanedAndClosed) {
  testing::TestHome home;
  Outcome r =
      run({"dictate", "--text", "um send it to the staging server no wait the production server"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "Send it to the production server.\n");
  r = run({"dictate"});
  EXPECT_EQ(r.status, 2);
  EXPECT_NE(r.err.find("usage: talvane dictate"), std::string::npos);
}

TEST(Dictate, FilesThatAreNotSixteenBitPcmAreRefused) {
  testing::TestHome home;
  const std::string notWav = home.write("noise.wav", "this is not audio");
  Outcome r = run({"dictate", notWav});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "talvane: " + notWav + ": not a WAV file\n");
  EXPECT_EQ(r.out, "");
  r = run({"dictate", home.path() + "/missing.wav"});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("cannot read"), std::string::npos);
}

TEST(Dictate, SpokenFileIsRecognisedAndCleaned) {
  if (!g_find_program_in_path("flite")) GTEST_SKIP() << "flite is not installed";
  if (!files::exists("/usr/share/pocketsphinx/model/en-us/en-us.lm.bin"))
    GTEST_SKIP() << "no PocketSphinx model";
  testing::TestHome home;
  const std::string wav = home.path() + "/speech.wav";
  const char* argv[] = {"flite", "-voice",    "rms",  "-t", "send it to the staging server",
                        "-o",    wav.c_str(), nullptr};
  ASSERT_TRUE(g_spawn_sync(nullptr, const_cast<char**>(argv), nullptr, G_SPAWN_SEARCH_PATH, nullptr,
                           nullptr, nullptr, nullptr, nullptr, nullptr));
  Outcome r = run({"dictate", wav});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find("staging server."), std::string::npos) << r.out;
  EXPECT_EQ(r.out.substr(r.out.size() - 2), ".\n");
  EXPECT_TRUE(std::isupper(static_cast<unsigned char>(r.out[0]))) << r.out;
}

TEST(Talk, AsksTheRunningAppAndPrintsItsState) {
  testing::TestHome home;
  Outcome r = run({"talk"});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("no app is listening"), std::string::npos);

  testing::FakeRouter router;
  Bridge bridge(router);
  bridge.start();
  bool listening = false;
  std::vector<std::string> actions;
  bridge.onQuery("talk", [&](const Json& request) {
    std::string action = json::string(request, "action").value_or("?");
    actions.push_back(action);
    listening = action == "start" || (action == "toggle" && !listening);
    return Json{{"listening", listening}}.dump();
  });
  EXPECT_EQ(run({"talk", "start"}).out, "listening\n");
  EXPECT_EQ(run({"talk"}).out, "stopped\n");
  EXPECT_EQ(run({"talk", "toggle"}).out, "listening\n");
  EXPECT_EQ(run({"talk", "stop"}).out, "stopped\n");
  EXPECT_EQ(run({"talk", "louder"}).status, 2);
  EXPECT_EQ(actions, (std::vector<std::string>{"start", "toggle", "toggle", "stop"}));
  bridge.stop();
}

TEST(Talk, AStartIsReportedOnlyOnceTheMicrophoneAnswers) {
  testing::TestHome home;
  testing::FakeRouter router;
  Bridge bridge(router);
  bridge.start();
  const std::string missing =
      "Talvane can't find a microphone. Check that one is connected and chosen in the sound "
      "settings.";
  struct Row {
    const char* name;
    std::vector<Json> answers;  // to the start, then to each "status"
    int status;
    std::string out, err;
  };
  const Row rows[] = {
      {"records after a moment",
       {{{"listening", true}, {"recording", false}},
        {{"listening", true}, {"recording", false}},
        {{"listening", true}, {"recording", true}}},
       0,
       "listening\n",
       ""},
      {"no microphone",
       {{{"listening", true}, {"recording", false}}, {{"listening", false}, {"error", missing}}},
       1,
       "",
       "talvane: " + missing + "\n"},
      {"refused at once", {{{"listening", false}}}, 1, "", "talvane: dictation did not start\n"},
  };
  for (const Row& row : rows) {
    std::vector<std::string> actions;
    bridge.onQuery("talk", [&](const Json& request) {
      actions.push_back(json::string(request, "action").value_or("?"));
      return row.answers[std::min(actions.size(), row.answers.size()) - 1].dump();
    });
    Outcome r = run({"talk", "start"});
    EXPECT_EQ(r.status, row.status) << row.name;
    EXPECT_EQ(r.out, row.out) << row.name;
    EXPECT_EQ(r.err, row.err) << row.name;
    ASSERT_FALSE(actions.empty());
    EXPECT_EQ(actions.front(), "start") << row.name;
    EXPECT_EQ(actions.size(), row.answers.size()) << row.name;
    for (std::size_t i = 1; i < actions.size(); ++i) EXPECT_EQ(actions[i], "status") << row.name;
  }
  // A stop after a failed start is still just a stop.
  bridge.onQuery("talk", [&](const Json&) {
    return Json{{"listening", false}, {"error", missing}}.dump();
  });
  Outcome stop = run({"talk", "stop"});
  EXPECT_EQ(stop.status, 0);
  EXPECT_EQ(stop.out, "stopped\n");
  bridge.stop();
}

}  // namespace
}  // namespace talvane
