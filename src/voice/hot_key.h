#pragma once
// The two global shortcuts (open the panel, push-to-talk): their identities, the built-in
// combinations, the page's key names and the labels the page shows. Combinations are kept as
// macOS virtual key codes with Carbon modifier masks, the form stored in the preferences; the
// desktop back end translates them when it grabs the keys.

#include <array>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>

namespace talvane::HotKey {

// The raw value is the hot key's identifier.
enum class Action : std::uint32_t { open = 1, talk = 2 };

// Every action, in registration order.
inline constexpr std::array<Action, 2> kAllActions{Action::open, Action::talk};

// Carbon modifier bits.
namespace Mods {
inline constexpr std::uint32_t command = 256;
inline constexpr std::uint32_t shift = 512;
inline constexpr std::uint32_t option = 2048;
inline constexpr std::uint32_t control = 4096;
}  // namespace Mods

struct Combo {
  std::uint32_t code = 0;  // macOS virtual key code (ANSI layout)
  std::uint32_t mods = 0;  // Carbon modifier mask
  bool operator==(const Combo&) const = default;
};

// Control-Option-R opens, Control-Option-T talks. Every action has an entry.
const std::map<Action, Combo>& defaults();

// The page's key names ("KeyA", "Digit7", "F5", "Space", ...) to virtual key codes; the only
// keys a user can choose.
const std::map<std::string, std::uint32_t, std::less<>>& codes();

// The page's name of a virtual key code, when the code is one of `codes`.
std::optional<std::string_view> name(std::uint32_t code);

// The held modifiers as a Linux desktop names them, in the order "Ctrl+Alt+Shift+Super+", then
// the key ("R", "7", "F5", "Space", "/"), or "?" for a key without a name: "Ctrl+Alt+R".
std::string label(Combo combo);

}  // namespace talvane::HotKey
