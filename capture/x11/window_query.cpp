#include "capture/x11/window_query.hpp"

#include <xcb/composite.h>
#include <xcb/res.h>

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <fstream>
#include <string>
#include <string_view>
#include <utility>

#include "capture/x11/window_lookup.hpp"
#include "capture/x11/x11_server.hpp"

namespace darvo::capture::x11 {
namespace {

enum AtomIndex : std::size_t {
  kWmState,
  kNetWmPid,
  kNetWmWindowType,
  kNetWmState,
  kNetWmStateAbove,
  kGtkApplicationId,
  kGtkFrameExtents,
  kKdeDesktopFile,
  kTypeDesktop,
  kTypeNormal,
  kTypeDialog,
  kTypeDock,
  kTypeToolbar,
  kTypeMenu,
  kTypeUtility,
  kTypeSplash,
  kTypeDropdownMenu,
  kTypePopupMenu,
  kTypeTooltip,
  kTypeNotification,
  kTypeCombo,
  kTypeDnd,
  kAtomCount
};

constexpr std::array<std::string_view, kAtomCount> kAtomNames = {
    "WM_STATE",
    "_NET_WM_PID",
    "_NET_WM_WINDOW_TYPE",
    "_NET_WM_STATE",
    "_NET_WM_STATE_ABOVE",
    "_GTK_APPLICATION_ID",
    "_GTK_FRAME_EXTENTS",
    "_KDE_NET_WM_DESKTOP_FILE",
    "_NET_WM_WINDOW_TYPE_DESKTOP",
    "_NET_WM_WINDOW_TYPE_NORMAL",
    "_NET_WM_WINDOW_TYPE_DIALOG",
    "_NET_WM_WINDOW_TYPE_DOCK",
    "_NET_WM_WINDOW_TYPE_TOOLBAR",
    "_NET_WM_WINDOW_TYPE_MENU",
    "_NET_WM_WINDOW_TYPE_UTILITY",
    "_NET_WM_WINDOW_TYPE_SPLASH",
    "_NET_WM_WINDOW_TYPE_DROPDOWN_MENU",
    "_NET_WM_WINDOW_TYPE_POPUP_MENU",
    "_NET_WM_WINDOW_TYPE_TOOLTIP",
    "_NET_WM_WINDOW_TYPE_NOTIFICATION",
    "_NET_WM_WINDOW_TYPE_COMBO",
    "_NET_WM_WINDOW_TYPE_DND",
};

using Atoms = std::array<xcb_atom_t, kAtomCount>;

bool extensionPresent(xcb_connection_t* connection, xcb_extension_t* extension) {
  const xcb_query_extension_reply_t* data = xcb_get_extension_data(connection, extension);
  return data != nullptr && data->present != 0;
}

using PropertyCookie = std::optional<xcb_get_property_cookie_t>;

PropertyCookie requestProperty(xcb_connection_t* connection, xcb_window_t window, xcb_atom_t atom,
                               uint32_t maxLongs) {
  if (atom == XCB_ATOM_NONE) {
    return std::nullopt;
  }
  return xcb_get_property(connection, 0, window, atom, XCB_GET_PROPERTY_TYPE_ANY, 0, maxLongs);
}

XcbReply<xcb_get_property_reply_t> takeProperty(xcb_connection_t* connection,
                                                const PropertyCookie& cookie) {
  if (!cookie) {
    return nullptr;
  }
  return takeReply(xcb_get_property_reply, connection, *cookie);
}

std::string propertyText(const xcb_get_property_reply_t* reply) {
  if (reply == nullptr || reply->format != 8) {
    return {};
  }
  std::string text(static_cast<const char*>(xcb_get_property_value(reply)),
                   static_cast<std::size_t>(xcb_get_property_value_length(reply)));
  while (!text.empty() && text.back() == '\0') {
    text.pop_back();
  }
  return text;
}

std::vector<uint32_t> propertyValues32(const xcb_get_property_reply_t* reply) {
  if (reply == nullptr || reply->format != 32) {
    return {};
  }
  const auto* values = static_cast<const uint32_t*>(xcb_get_property_value(reply));
  return {values, values + xcb_get_property_value_length(reply) / 4};
}

// The part of the window users see: without the shadow margins of client-side decorations.
Rect withoutShadowMargins(const Rect& frame, const xcb_get_property_reply_t* extents) {
  const VisibleArea visible =
      visibleArea(static_cast<int>(frame.width), static_cast<int>(frame.height), extents);
  return Rect{frame.x + visible.left, frame.y + visible.top, static_cast<double>(visible.width),
              static_cast<double>(visible.height)};
}

// WM_CLASS holds "instance\0class\0"; the class names the application.
std::string wmClassClass(const xcb_get_property_reply_t* reply) {
  const std::string text = propertyText(reply);
  const auto separator = text.find('\0');
  if (separator == std::string::npos) {
    return {};
  }
  const std::string rest = text.substr(separator + 1);
  return rest.substr(0, rest.find('\0'));
}

std::optional<xcb_res_query_client_ids_cookie_t> requestClientPid(xcb_connection_t* connection,
                                                                  bool haveRes,
                                                                  xcb_window_t window) {
  if (!haveRes) {
    return std::nullopt;
  }
  // Any resource id names its client; the window's own id is enough.
  const xcb_res_client_id_spec_t spec{window, XCB_RES_CLIENT_ID_MASK_LOCAL_CLIENT_PID};
  return xcb_res_query_client_ids(connection, 1, &spec);
}

std::optional<int32_t> takeClientPid(
    xcb_connection_t* connection, const std::optional<xcb_res_query_client_ids_cookie_t>& cookie) {
  if (!cookie) {
    return std::nullopt;
  }
  const auto reply = takeReply(xcb_res_query_client_ids_reply, connection, *cookie);
  if (!reply) {
    return std::nullopt;
  }
  for (auto it = xcb_res_query_client_ids_ids_iterator(reply.get()); it.rem > 0;
       xcb_res_client_id_value_next(&it)) {
    if ((it.data->spec.mask & XCB_RES_CLIENT_ID_MASK_LOCAL_CLIENT_PID) != 0 &&
        xcb_res_client_id_value_value_length(it.data) >= 1) {
      const uint32_t pid = *xcb_res_client_id_value_value(it.data);
      if (pid > 0) {
        return static_cast<int32_t>(pid);
      }
    }
  }
  return std::nullopt;
}

std::optional<int32_t> pidFromProperty(const xcb_get_property_reply_t* reply) {
  const auto values = propertyValues32(reply);
  if (values.empty() || values.front() == 0 || values.front() > INT32_MAX) {
    return std::nullopt;
  }
  return static_cast<int32_t>(values.front());
}

std::string processName(int32_t pid) {
  std::ifstream comm("/proc/" + std::to_string(pid) + "/comm");
  std::string name;
  std::getline(comm, name);
  return name;
}

bool contains(const std::vector<uint32_t>& values, xcb_atom_t atom) {
  return atom != XCB_ATOM_NONE && std::find(values.begin(), values.end(), atom) != values.end();
}

// EWMH lists types in order of preference: the first one we know decides.
int64_t layerOfTypes(const std::vector<uint32_t>& types, const Atoms& atoms) {
  for (const uint32_t type : types) {
    if (type == XCB_ATOM_NONE) {
      continue;
    }
    if (type == atoms[kTypeNormal] || type == atoms[kTypeDialog]) {
      return 0;
    }
    if (type == atoms[kTypeDesktop]) {
      return -1;  // below everything, like a desktop background
    }
    for (const auto index :
         {kTypeDock, kTypeToolbar, kTypeMenu, kTypeUtility, kTypeSplash, kTypeDropdownMenu,
          kTypePopupMenu, kTypeTooltip, kTypeNotification, kTypeCombo, kTypeDnd}) {
      if (type == atoms[index]) {
        return 1;
      }
    }
  }
  return 0;
}

// For each top-level window, the window carrying WM_STATE: itself or its nearest descendant (the
// client under a frame), searched one tree level at a time for all of them at once; the window
// itself when none carries it.
std::vector<xcb_window_t> clientWindows(xcb_connection_t* connection,
                                        const std::vector<xcb_window_t>& topLevels,
                                        xcb_atom_t wmState) {
  std::vector<xcb_window_t> clients = topLevels;
  if (wmState == XCB_ATOM_NONE) {
    return clients;
  }
  struct Searched {
    std::size_t topLevel;
    xcb_window_t window;
  };
  std::vector<bool> found(topLevels.size(), false);
  std::vector<Searched> level;
  level.reserve(topLevels.size());
  for (std::size_t i = 0; i < topLevels.size(); ++i) {
    level.push_back({i, topLevels[i]});
  }
  while (!level.empty()) {
    std::vector<xcb_get_property_cookie_t> stateCookies;
    stateCookies.reserve(level.size());
    for (const auto& entry : level) {
      stateCookies.push_back(
          xcb_get_property(connection, 0, entry.window, wmState, XCB_GET_PROPERTY_TYPE_ANY, 0, 0));
    }
    for (std::size_t k = 0; k < level.size(); ++k) {
      const auto reply = takeReply(xcb_get_property_reply, connection, stateCookies[k]);
      if (reply && reply->type != XCB_ATOM_NONE && !found[level[k].topLevel]) {
        found[level[k].topLevel] = true;
        clients[level[k].topLevel] = level[k].window;
      }
    }
    std::erase_if(level, [&](const Searched& entry) { return found[entry.topLevel]; });
    std::vector<xcb_query_tree_cookie_t> treeCookies;
    treeCookies.reserve(level.size());
    for (const auto& entry : level) {
      treeCookies.push_back(xcb_query_tree(connection, entry.window));
    }
    std::vector<Searched> next;
    for (std::size_t k = 0; k < level.size(); ++k) {
      const auto tree = takeReply(xcb_query_tree_reply, connection, treeCookies[k]);
      if (!tree) {
        continue;
      }
      const xcb_window_t* children = xcb_query_tree_children(tree.get());
      for (int c = 0; c < xcb_query_tree_children_length(tree.get()); ++c) {
        next.push_back({level[k].topLevel, children[c]});
      }
    }
    level = std::move(next);
  }
  return clients;
}

struct WindowRequests {
  xcb_window_t window = XCB_WINDOW_NONE;
  xcb_get_window_attributes_cookie_t attributes{};
  xcb_get_geometry_cookie_t geometry{};
  xcb_translate_coordinates_cookie_t origin{};
  PropertyCookie wmClass;
  PropertyCookie windowType;
  PropertyCookie netWmState;
  PropertyCookie netWmPid;
  PropertyCookie gtkApplicationId;
  PropertyCookie gtkFrameExtents;
  PropertyCookie kdeDesktopFile;
  std::optional<xcb_res_query_client_ids_cookie_t> clientPid;
};

constexpr uint32_t kTextLongs = 256;  // 1 KiB of text is plenty for names and ids
constexpr uint32_t kAtomListLongs = 64;
constexpr uint32_t kFrameExtentsLongs = 4;

WindowRequests requestWindow(xcb_connection_t* connection, xcb_window_t root, xcb_window_t window,
                             const Atoms& atoms, bool haveRes) {
  WindowRequests requests;
  requests.window = window;
  requests.attributes = xcb_get_window_attributes(connection, window);
  requests.geometry = xcb_get_geometry(connection, window);
  requests.origin = xcb_translate_coordinates(connection, window, root, 0, 0);
  requests.wmClass = requestProperty(connection, window, XCB_ATOM_WM_CLASS, kTextLongs);
  requests.windowType =
      requestProperty(connection, window, atoms[kNetWmWindowType], kAtomListLongs);
  requests.netWmState = requestProperty(connection, window, atoms[kNetWmState], kAtomListLongs);
  requests.netWmPid = requestProperty(connection, window, atoms[kNetWmPid], 1);
  requests.gtkApplicationId =
      requestProperty(connection, window, atoms[kGtkApplicationId], kTextLongs);
  requests.gtkFrameExtents =
      requestProperty(connection, window, atoms[kGtkFrameExtents], kFrameExtentsLongs);
  requests.kdeDesktopFile = requestProperty(connection, window, atoms[kKdeDesktopFile], kTextLongs);
  requests.clientPid = requestClientPid(connection, haveRes, window);
  return requests;
}

// Every reply is taken, even when an earlier one shows the window is gone, so none is left queued.
std::optional<Window> collectWindow(xcb_connection_t* connection, const WindowRequests& requests,
                                    const Atoms& atoms, bool excludingDesktopWindows,
                                    bool onScreenWindowsOnly) {
  const auto attributes =
      takeReply(xcb_get_window_attributes_reply, connection, requests.attributes);
  const auto geometry = takeReply(xcb_get_geometry_reply, connection, requests.geometry);
  const auto origin = takeReply(xcb_translate_coordinates_reply, connection, requests.origin);
  const auto wmClass = takeProperty(connection, requests.wmClass);
  const auto windowType = takeProperty(connection, requests.windowType);
  const auto netWmState = takeProperty(connection, requests.netWmState);
  const auto netWmPid = takeProperty(connection, requests.netWmPid);
  const auto gtkApplicationId = takeProperty(connection, requests.gtkApplicationId);
  const auto gtkFrameExtents = takeProperty(connection, requests.gtkFrameExtents);
  const auto kdeDesktopFile = takeProperty(connection, requests.kdeDesktopFile);
  const auto clientPid = takeClientPid(connection, requests.clientPid);

  if (!attributes || !geometry || !origin) {
    return std::nullopt;  // destroyed while we asked
  }
  if (onScreenWindowsOnly && attributes->map_state != XCB_MAP_STATE_VIEWABLE) {
    return std::nullopt;
  }
  const auto types = propertyValues32(windowType.get());
  if (excludingDesktopWindows && contains(types, atoms[kTypeDesktop])) {
    return std::nullopt;
  }

  Window window;
  window.windowID = requests.window;
  window.frame = withoutShadowMargins(
      Rect{static_cast<double>(origin->dst_x), static_cast<double>(origin->dst_y),
           static_cast<double>(geometry->width), static_cast<double>(geometry->height)},
      gtkFrameExtents.get());
  window.windowLayer = layerOfTypes(types, atoms);
  if (attributes->override_redirect != 0 ||
      (window.windowLayer == 0 &&
       contains(propertyValues32(netWmState.get()), atoms[kNetWmStateAbove]))) {
    window.windowLayer = 1;
  }
  const std::optional<int32_t> pid = clientPid ? clientPid : pidFromProperty(netWmPid.get());
  if (pid) {
    RunningApplication application;
    application.processID = *pid;
    const std::string className = wmClassClass(wmClass.get());
    application.applicationName = className.empty() ? processName(*pid) : className;
    application.bundleIdentifier = propertyText(gtkApplicationId.get());
    if (application.bundleIdentifier.empty()) {
      application.bundleIdentifier = propertyText(kdeDesktopFile.get());
    }
    if (application.bundleIdentifier.empty()) {
      application.bundleIdentifier = className;
    }
    window.owningApplication = std::move(application);
  }
  return window;
}

}  // namespace

ContentResult queryShareableContent(const DisplayConnection& display, bool excludingDesktopWindows,
                                    bool onScreenWindowsOnly) {
  xcb_connection_t* const connection = display.connection.get();
  if (connection == nullptr || display.screen == nullptr ||
      xcb_connection_has_error(connection) != 0) {
    return streamError(kConnectionFailedCode);
  }
  xcb_prefetch_extension_data(connection, &xcb_composite_id);
  xcb_prefetch_extension_data(connection, &xcb_res_id);
  const bool haveComposite = extensionPresent(connection, &xcb_composite_id);
  const bool haveRes = extensionPresent(connection, &xcb_res_id);
  if (xcb_connection_has_error(connection) != 0) {
    return streamError(kConnectionFailedCode);
  }
  if (!haveComposite) {
    return streamError(kCaptureSetupCode);
  }

  const xcb_window_t root = display.screen->root;
  const auto treeCookie = xcb_query_tree(connection, root);
  const Atoms atoms = internAtoms(connection, kAtomNames, true);
  const auto tree = takeReply(xcb_query_tree_reply, connection, treeCookie);
  if (!tree) {
    return streamError(kConnectionFailedCode);
  }
  const xcb_window_t* children = xcb_query_tree_children(tree.get());
  const std::vector<xcb_window_t> topLevels(children,
                                            children + xcb_query_tree_children_length(tree.get()));
  std::vector<xcb_window_t> clients = clientWindows(connection, topLevels, atoms[kWmState]);
  std::reverse(clients.begin(), clients.end());  // the tree lists bottom to top

  std::vector<WindowRequests> requests;
  requests.reserve(clients.size());
  for (const xcb_window_t client : clients) {
    requests.push_back(requestWindow(connection, root, client, atoms, haveRes));
  }
  ShareableContent content;
  for (const auto& request : requests) {
    if (auto window = collectWindow(connection, request, atoms, excludingDesktopWindows,
                                    onScreenWindowsOnly)) {
      content.windows.push_back(std::move(*window));
    }
  }
  if (xcb_connection_has_error(connection) != 0) {
    return streamError(kConnectionFailedCode);
  }
  return content;
}

WindowQueries::WindowQueries(DisplayConnection display) : display_(std::move(display)) {}

std::optional<WindowListEntry> WindowQueries::windowInfo(uint32_t windowID) {
  xcb_connection_t* const connection = display_.connection.get();
  if (connection == nullptr || display_.screen == nullptr ||
      xcb_connection_has_error(connection) != 0) {
    return std::nullopt;
  }
  if (netWmPid_ == XCB_ATOM_NONE || gtkFrameExtents_ == XCB_ATOM_NONE) {
    // Created when missing, so a property the window sets later is still seen.
    const auto atoms = internAtoms(
        connection, std::array{kAtomNames[kNetWmPid], kAtomNames[kGtkFrameExtents]}, false);
    netWmPid_ = atoms[0];
    gtkFrameExtents_ = atoms[1];
  }
  const bool haveRes = extensionPresent(connection, &xcb_res_id);
  const auto attributesCookie = xcb_get_window_attributes(connection, windowID);
  const auto geometryCookie = xcb_get_geometry(connection, windowID);
  const auto originCookie =
      xcb_translate_coordinates(connection, windowID, display_.screen->root, 0, 0);
  const auto pidCookie = requestProperty(connection, windowID, netWmPid_, 1);
  const auto extentsCookie =
      requestProperty(connection, windowID, gtkFrameExtents_, kFrameExtentsLongs);
  const auto clientPidCookie = requestClientPid(connection, haveRes, windowID);

  const auto attributes = takeReply(xcb_get_window_attributes_reply, connection, attributesCookie);
  const auto geometry = takeReply(xcb_get_geometry_reply, connection, geometryCookie);
  const auto origin = takeReply(xcb_translate_coordinates_reply, connection, originCookie);
  const auto pidProperty = takeProperty(connection, pidCookie);
  const auto extents = takeProperty(connection, extentsCookie);
  const auto clientPid = takeClientPid(connection, clientPidCookie);
  if (!attributes || !geometry || !origin) {
    return std::nullopt;
  }
  WindowListEntry entry;
  entry.bounds = withoutShadowMargins(
      Rect{static_cast<double>(origin->dst_x), static_cast<double>(origin->dst_y),
           static_cast<double>(geometry->width), static_cast<double>(geometry->height)},
      extents.get());
  if (const auto pid = clientPid ? clientPid : pidFromProperty(pidProperty.get())) {
    entry.ownerPID = *pid;
  }
  entry.isOnscreen = attributes->map_state == XCB_MAP_STATE_VIEWABLE;
  return entry;
}

std::optional<std::vector<uint32_t>> WindowQueries::allWindowNumbers() {
  xcb_connection_t* const connection = display_.connection.get();
  if (connection == nullptr || display_.screen == nullptr ||
      xcb_connection_has_error(connection) != 0) {
    return std::nullopt;
  }
  std::vector<uint32_t> numbers;
  std::vector<xcb_window_t> level{display_.screen->root};
  bool atRoot = true;
  while (!level.empty()) {
    std::vector<xcb_query_tree_cookie_t> cookies;
    cookies.reserve(level.size());
    for (const xcb_window_t window : level) {
      cookies.push_back(xcb_query_tree(connection, window));
    }
    std::vector<xcb_window_t> next;
    for (const auto& cookie : cookies) {
      const auto tree = takeReply(xcb_query_tree_reply, connection, cookie);
      if (!tree) {
        if (atRoot) {
          return std::nullopt;
        }
        continue;  // destroyed during the walk
      }
      const xcb_window_t* children = xcb_query_tree_children(tree.get());
      const int count = xcb_query_tree_children_length(tree.get());
      for (int c = count - 1; c >= 0; --c) {  // front to back
        next.push_back(children[c]);
      }
    }
    numbers.insert(numbers.end(), next.begin(), next.end());
    level = std::move(next);
    atRoot = false;
  }
  if (xcb_connection_has_error(connection) != 0) {
    return std::nullopt;
  }
  return numbers;
}

}  // namespace darvo::capture::x11
