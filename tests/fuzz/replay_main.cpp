// Without libFuzzer, a fuzz target is an ordinary program that runs every file of the corpus
// folders (or files) named on its command line through LLVMFuzzerTestOneInput, so the corpus is
// replayed by every test run. A finding crashes the program, as it would crash the fuzzer.
// Inputs nested far too deep would make large files, so a corpus file may hold the markers
// @DEEP@ (100000 nested objects) and @DEEPTEXT@ (the same as the content of a JSON string),
// which are expanded here; the fuzzer takes such a file as it is.
#include <dirent.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "platform/files.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

namespace {

std::vector<std::string> inputsOf(const std::string& path) {
  if (!talvane::files::isDirectory(path)) return {path};
  std::vector<std::string> found;
  if (DIR* dir = ::opendir(path.c_str())) {
    while (const dirent* entry = ::readdir(dir)) {
      if (entry->d_name[0] != '.') found.push_back(path + "/" + entry->d_name);
    }
    ::closedir(dir);
  }
  std::sort(found.begin(), found.end());
  return found;
}

std::string nested(bool inText) {
  constexpr std::size_t kDepth = 100000;
  const std::string open = inText ? "{\\\"a\\\":" : "{\"a\":";
  std::string out;
  out.reserve(kDepth * (open.size() + 1) + 1);
  for (std::size_t i = 0; i < kDepth; ++i) out += open;
  out += "1";
  out.append(kDepth, '}');
  return out;
}

void expand(std::string& data, const std::string& marker, bool inText) {
  for (std::size_t at = data.find(marker); at != std::string::npos; at = data.find(marker, at)) {
    const std::string deep = nested(inText);
    data.replace(at, marker.size(), deep);
    at += deep.size();
  }
}

}  // namespace

int main(int argc, char** argv) {
  std::size_t runs = 0;
  for (int i = 1; i < argc; ++i) {
    for (const std::string& input : inputsOf(argv[i])) {
      auto data = talvane::files::read(input);
      if (!data) {
        std::fprintf(stderr, "cannot read %s\n", input.c_str());
        return 1;
      }
      expand(*data, "@DEEPTEXT@", true);
      expand(*data, "@DEEP@", false);
      LLVMFuzzerTestOneInput(reinterpret_cast<const std::uint8_t*>(data->data()), data->size());
      ++runs;
    }
  }
  std::printf("%zu inputs replayed\n", runs);
  return runs > 0 ? 0 : 1;
}
