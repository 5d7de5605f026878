// A pointer for a headless wlroots compositor, which has no input devices of its own:
//   wl_pointer WIDTH HEIGHT   creates a virtual pointer on the first seat and keeps it while
//                             stdin is open; each line "X Y" moves it there (output pixels of
//                             a WIDTH×HEIGHT layout), "down" and "up" press and release the
//                             left button. Prints "ready" once the device exists.
// The device must outlive each move: a client only learns the pointer entered its surface
// while the seat has one.
#include <wayland-client.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

namespace {

// The virtual pointer protocol, by hand: no package ships its description. Request order is
// the wire opcode.
const wl_interface* pointerTypes[] = {nullptr, nullptr, nullptr, nullptr, nullptr, nullptr};
extern const wl_interface virtualPointer;
const wl_interface* createTypes[] = {&wl_seat_interface, &virtualPointer};
const wl_message managerRequests[] = {{"create_virtual_pointer", "?on", createTypes},
                                      {"destroy", "", pointerTypes}};
const wl_interface manager{"zwlr_virtual_pointer_manager_v1", 1, 2, managerRequests, 0, nullptr};
const wl_message pointerRequests[] = {
    {"motion", "uff", pointerTypes},   {"motion_absolute", "uuuuu", pointerTypes},
    {"button", "uuu", pointerTypes},   {"axis", "uuf", pointerTypes},
    {"frame", "", pointerTypes},       {"axis_source", "u", pointerTypes},
    {"axis_stop", "uu", pointerTypes}, {"axis_discrete", "uufi", pointerTypes},
    {"destroy", "", pointerTypes}};
const wl_interface virtualPointer{"zwlr_virtual_pointer_v1", 1, 9, pointerRequests, 0, nullptr};
enum { kMotionAbsolute = 1, kButton = 2, kFrame = 4 };
constexpr uint32_t kLeftButton = 0x110;  // BTN_LEFT

wl_seat* seat = nullptr;
wl_proxy* pointers = nullptr;

void global(void*, wl_registry* registry, uint32_t name, const char* interface, uint32_t) {
  if (!seat && std::strcmp(interface, wl_seat_interface.name) == 0)
    seat = static_cast<wl_seat*>(wl_registry_bind(registry, name, &wl_seat_interface, 1));
  else if (!pointers && std::strcmp(interface, manager.name) == 0)
    pointers = static_cast<wl_proxy*>(wl_registry_bind(registry, name, &manager, 1));
}
void removed(void*, wl_registry*, uint32_t) {}
const wl_registry_listener listener{global, removed};

uint32_t now() {
  timespec t{};
  clock_gettime(CLOCK_MONOTONIC, &t);
  return uint32_t(t.tv_sec * 1000 + t.tv_nsec / 1000000);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: wl_pointer WIDTH HEIGHT\n");
    return 2;
  }
  const unsigned width = std::strtoul(argv[1], nullptr, 10);
  const unsigned height = std::strtoul(argv[2], nullptr, 10);
  wl_display* display = wl_display_connect(nullptr);
  if (!display) {
    std::fprintf(stderr, "wl_pointer: no Wayland display\n");
    return 1;
  }
  wl_registry* registry = wl_display_get_registry(display);
  wl_registry_add_listener(registry, &listener, nullptr);
  wl_display_roundtrip(display);
  if (!seat || !pointers) {
    std::fprintf(stderr, "wl_pointer: the compositor offers no virtual pointers\n");
    return 1;
  }
  wl_proxy* pointer = wl_proxy_marshal_flags(pointers, 0, &virtualPointer, 1, 0, seat, nullptr);
  wl_display_roundtrip(display);
  std::printf("ready\n");
  std::fflush(stdout);
  unsigned x = 0, y = 0;
  char line[128];
  while (std::fgets(line, sizeof line, stdin)) {
    const bool down = std::strncmp(line, "down", 4) == 0, up = std::strncmp(line, "up", 2) == 0;
    if (down || up)
      wl_proxy_marshal_flags(pointer, kButton, nullptr, 1, 0, now(), kLeftButton, down ? 1u : 0u);
    else if (std::sscanf(line, "%u %u", &x, &y) == 2)
      wl_proxy_marshal_flags(pointer, kMotionAbsolute, nullptr, 1, 0, now(), x, y, width, height);
    else
      continue;
    wl_proxy_marshal_flags(pointer, kFrame, nullptr, 1, 0);
    wl_display_roundtrip(display);
  }
  wl_display_disconnect(display);
  return 0;
}
