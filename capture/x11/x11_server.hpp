// Screens, visuals and atoms of an X server: the one place the window query, the capture and the
// outline look them up.
#pragma once

#include <xcb/xcb.h>

#include <array>
#include <cstddef>
#include <optional>
#include <span>
#include <string_view>

namespace darvo::capture::x11 {

// The screen numbered `number` (as in a display name's ".screen"); null past the last.
xcb_screen_t* screenNumbered(const xcb_setup_t* setup, int number);

// The screen whose root window is `root`; null when there is none.
const xcb_screen_t* screenWithRoot(const xcb_setup_t* setup, xcb_window_t root);

// The type of `visual` on `screen`, among the visuals of `depth` when one is given.
const xcb_visualtype_t* visualType(const xcb_screen_t& screen, xcb_visualid_t visual,
                                   std::optional<uint8_t> depth = std::nullopt);

// Interns every name in one round trip. An atom is XCB_ATOM_NONE where the request failed, and,
// with `onlyIfExists`, where no client created it yet (then no window can carry it either).
void internAtoms(xcb_connection_t* connection, std::span<const std::string_view> names,
                 bool onlyIfExists, std::span<xcb_atom_t> atoms);

template <std::size_t Count>
std::array<xcb_atom_t, Count> internAtoms(xcb_connection_t* connection,
                                          const std::array<std::string_view, Count>& names,
                                          bool onlyIfExists) {
  std::array<xcb_atom_t, Count> atoms{};
  internAtoms(connection, names, onlyIfExists, atoms);
  return atoms;
}

}  // namespace darvo::capture::x11
