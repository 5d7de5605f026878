// talvane: the desktop companion. Subcommands talk to a running copy over its socket.
#include <cstdio>
#include <cstring>

int main(int argc, char** argv) {
  if (argc > 1 && std::strcmp(argv[1], "--version") == 0) {
    std::printf("talvane %s\n", TALVANE_VERSION);
    return 0;
  }
  return 0;
}
