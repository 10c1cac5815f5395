#include "capture/x11/window_lookup.hpp"

#include "capture/x11/x11_server.hpp"
#include "capture/x11/xcb_handles.hpp"

namespace darvo::capture::x11 {

namespace {

const xcb_format_t* pixmapFormat(const xcb_setup_t* setup, uint8_t depth) {
  for (auto formats = xcb_setup_pixmap_formats_iterator(setup); formats.rem > 0;
       xcb_format_next(&formats)) {
    if (formats.data->depth == depth) {
      return formats.data;
    }
  }
  return nullptr;
}

}  // namespace

std::optional<PixelFormat> findPixelFormat(const xcb_setup_t* setup, xcb_window_t root,
                                           xcb_visualid_t visual, uint8_t depth) {
  const xcb_format_t* stored = pixmapFormat(setup, depth);
  const xcb_screen_t* screen = screenWithRoot(setup, root);
  const xcb_visualtype_t* type = screen != nullptr ? visualType(*screen, visual, depth) : nullptr;
  if (stored == nullptr || type == nullptr ||
      (type->_class != XCB_VISUAL_CLASS_TRUE_COLOR &&
       type->_class != XCB_VISUAL_CLASS_DIRECT_COLOR)) {
    return std::nullopt;
  }
  const PixelFormat format{stored->bits_per_pixel,
                           stored->scanline_pad,
                           setup->image_byte_order == XCB_IMAGE_ORDER_MSB_FIRST,
                           type->red_mask,
                           type->green_mask,
                           type->blue_mask};
  if (!isReadable(format)) {
    return std::nullopt;
  }
  return format;
}

std::optional<xcb_window_t> topLevelAncestor(xcb_connection_t* connection, xcb_window_t window) {
  xcb_window_t current = window;
  for (;;) {
    const auto tree =
        takeReply(xcb_query_tree_reply, connection, xcb_query_tree(connection, current));
    if (!tree) {
      return std::nullopt;
    }
    if (tree->parent == tree->root || tree->parent == XCB_NONE) {
      return current;  // the root's own parent is None: a root window is its own top level
    }
    current = tree->parent;
  }
}

std::optional<AncestorLayout> layoutInAncestor(xcb_connection_t* connection, xcb_window_t window,
                                               xcb_window_t ancestor) {
  const auto offsetCookie = xcb_translate_coordinates(connection, window, ancestor, 0, 0);
  const auto windowCookie = xcb_get_geometry(connection, window);
  const auto ancestorCookie = xcb_get_geometry(connection, ancestor);
  const auto offset = takeReply(xcb_translate_coordinates_reply, connection, offsetCookie);
  const auto windowGeometry = takeReply(xcb_get_geometry_reply, connection, windowCookie);
  const auto ancestorGeometry = takeReply(xcb_get_geometry_reply, connection, ancestorCookie);
  if (!offset || !windowGeometry || !ancestorGeometry) {
    return std::nullopt;
  }
  const int border = ancestorGeometry->border_width;
  return AncestorLayout{offset->dst_x + border,
                        offset->dst_y + border,
                        windowGeometry->width,
                        windowGeometry->height,
                        ancestorGeometry->width + 2 * border,
                        ancestorGeometry->height + 2 * border};
}

VisibleArea visibleArea(int width, int height, const xcb_get_property_reply_t* extents) {
  const VisibleArea whole{0, 0, width, height};
  if (extents == nullptr || extents->type != XCB_ATOM_CARDINAL || extents->format != 32 ||
      extents->value_len != 4 || extents->bytes_after != 0) {
    return whole;
  }
  const auto* margins = static_cast<const uint32_t*>(xcb_get_property_value(extents));
  // In 64 bits: the margins are any 32-bit numbers a client cares to set.
  const int64_t visibleWidth = int64_t{width} - margins[0] - margins[1];
  const int64_t visibleHeight = int64_t{height} - margins[2] - margins[3];
  if (visibleWidth < 2 || visibleHeight < 2) {
    return whole;
  }
  return VisibleArea{static_cast<int>(margins[0]), static_cast<int>(margins[2]),
                     static_cast<int>(visibleWidth), static_cast<int>(visibleHeight)};
}

}  // namespace darvo::capture::x11
