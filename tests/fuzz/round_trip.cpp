// Any text in an agent's file: connecting and disconnecting gives the same bytes back (apart from
// what must remain), or connecting refuses and leaves the file alone. See round_trip.h.
#include "../integrations/round_trip.h"

#include <ftw.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <string>

#include "fuzz_support.h"
#include "integrations/hook_installer.h"

namespace {

// Every input saves a dozen files: on a memory file system, when there is one, that does not
// wait for the disk.
void fastHome() {
  static const bool done = [] {
    std::string pattern = (::access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp") +
                          std::string("/talvane-fuzz-XXXXXX");
    if (!::mkdtemp(pattern.data())) __builtin_trap();
    ::setenv("HOME", pattern.c_str(), 1);
    ::setenv("XDG_CONFIG_HOME", (pattern + "/.config").c_str(), 1);
    static char removeAtExit[4096];
    std::snprintf(removeAtExit, sizeof removeAtExit, "%s", pattern.c_str());
    std::atexit([] {
      ::nftw(
          removeAtExit, [](const char* p, const struct stat*, int, FTW*) { return ::remove(p); },
          16, FTW_DEPTH | FTW_PHYS);
    });
    // A relay of a few bytes: the installers copy it on every connect.
    const std::string relay = pattern + "/shipped/talvane-hook";
    talvane::files::writeAtomic(relay, "#!/bin/sh\n", 0755);
    talvane::HookInstaller::setRelaySource(relay);
    return true;
  }();
  (void)done;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace talvane;
  fastHome();
  const std::string text(fuzz::text(data, size));
  for (const roundtrip::Agent& agent : roundtrip::kAgents) {
    const roundtrip::Outcome outcome = roundtrip::check(agent, text);
    if (!outcome.fault.empty()) {
      std::fprintf(stderr, "%s: %s\n", agent.name, outcome.fault.c_str());
      __builtin_trap();
    }
  }
  return 0;
}
