#include "capture/x11/x11_server.hpp"

#include <vector>

#include "capture/x11/xcb_handles.hpp"

namespace darvo::capture::x11 {

xcb_screen_t* screenNumbered(const xcb_setup_t* setup, int number) {
  xcb_screen_iterator_t screens = xcb_setup_roots_iterator(setup);
  for (int i = 0; i < number && screens.rem > 0; ++i) xcb_screen_next(&screens);
  return screens.rem > 0 ? screens.data : nullptr;
}

const xcb_screen_t* screenWithRoot(const xcb_setup_t* setup, xcb_window_t root) {
  for (auto screens = xcb_setup_roots_iterator(setup); screens.rem > 0; xcb_screen_next(&screens)) {
    if (screens.data->root == root) return screens.data;
  }
  return nullptr;
}

const xcb_visualtype_t* visualType(const xcb_screen_t& screen, xcb_visualid_t visual,
                                   std::optional<uint8_t> depth) {
  for (auto depths = xcb_screen_allowed_depths_iterator(&screen); depths.rem > 0;
       xcb_depth_next(&depths)) {
    if (depth && depths.data->depth != *depth) continue;
    for (auto visuals = xcb_depth_visuals_iterator(depths.data); visuals.rem > 0;
         xcb_visualtype_next(&visuals)) {
      if (visuals.data->visual_id == visual) return visuals.data;
    }
  }
  return nullptr;
}

void internAtoms(xcb_connection_t* connection, std::span<const std::string_view> names,
                 bool onlyIfExists, std::span<xcb_atom_t> atoms) {
  std::vector<xcb_intern_atom_cookie_t> cookies;
  cookies.reserve(names.size());
  for (const auto name : names) {
    cookies.push_back(xcb_intern_atom(connection, onlyIfExists ? 1 : 0,
                                      static_cast<uint16_t>(name.size()), name.data()));
  }
  for (std::size_t i = 0; i < cookies.size() && i < atoms.size(); ++i) {
    const auto reply = takeReply(xcb_intern_atom_reply, connection, cookies[i]);
    atoms[i] = reply ? reply->atom : xcb_atom_t{XCB_ATOM_NONE};
  }
}

}  // namespace darvo::capture::x11
