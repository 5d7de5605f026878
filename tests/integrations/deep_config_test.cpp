#include <gtest/gtest.h>

#include "integrations/config_file.h"
#include "integrations/hook_installer.h"
#include "platform/files.h"
#include "support/test_home.h"

namespace talvane {
namespace {

TEST(ConfigFileDepth, AFileNestedTooDeepToSaveAgainIsRefusedAndKept) {
  testing::TestHome home;
  std::string text = "{\"hooks\":";
  for (int i = 0; i < 100000; ++i) text += "[";
  text += std::string(100000, ']') + "}";
  const std::string path = home.write(".claude/settings.json", text);
  try {
    ConfigFile::load(path);
    ADD_FAILURE() << "loaded";
  } catch (const IntegrationError& e) {
    EXPECT_EQ(e.code(), IntegrationError::invalidJson);
  }
  EXPECT_THROW(HookInstaller::uninstall(), IntegrationError);
  EXPECT_EQ(files::read(path), text);
  // Nesting a person writes is read as usual.
  home.write(".claude/settings.json",
             "{\"a\":" + std::string(50, '[') + std::string(50, ']') + "}");
  EXPECT_TRUE(ConfigFile::load(path).contains("a"));
}

}  // namespace
}  // namespace talvane
