// Every agent's configuration file holding the same bytes, read the way the installers read it:
// the status checks, and what an uninstall would write back, computed but never saved.
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "fuzz_support.h"
#include "integrations/config_file.h"
#include "integrations/cursor_hooks.h"
#include "integrations/hook_installer.h"
#include "integrations/integration.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace talvane;
  fuzz::temporaryHome();
  std::vector<std::string> paths{HookInstaller::settingsPath(), CursorHooks::path()};
  for (const Integration& integration : Integration::allCases())
    paths.push_back(integration.path());
  for (const std::string& path : paths) {
    // Plainly written: an atomic, synced write would make each run a hundred times slower.
    files::makeDirs(files::parent(path));
    std::FILE* file = std::fopen(path.c_str(), "wb");
    if (!file) __builtin_trap();
    std::fwrite(data, 1, size, file);
    std::fclose(file);
  }

  HookInstaller::isInstalled();
  CursorHooks::isInstalled();
  for (const Integration& integration : Integration::allCases()) integration.isInstalled();

  for (const std::string& path : paths) {
    Json config;
    try {
      config = ConfigFile::load(path);
    } catch (const IntegrationError&) {
      continue;  // the installers leave such a file as it is
    }
    const Json hooks = config.value("hooks", Json::object());
    json::pretty(HookInstaller::stripping(hooks, ConfigFile::marker));
    json::pretty(CursorHooks::stripped(hooks));
    json::pretty(ConfigFile::strippedFlat(hooks));
    json::pretty(config);
  }
  return 0;
}
