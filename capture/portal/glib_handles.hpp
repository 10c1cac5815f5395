// Owners of GLib's reference-counted and allocated objects: one std::unique_ptr each.
#pragma once

#include <gio/gio.h>

#include <memory>

namespace darvo::capture::portal {

template <typename Value, void (*Free)(Value*)>
struct GlibFree {
  void operator()(Value* value) const {
    if (value != nullptr) Free(value);
  }
};

// Any GObject (XdpPortal, XdpSession, GCancellable, GDBusConnection).
struct GObjectUnref {
  void operator()(gpointer object) const {
    if (object != nullptr) g_object_unref(object);
  }
};
template <typename Object>
using OwnedObject = std::unique_ptr<Object, GObjectUnref>;

// Text GLib allocated (g_free).
struct GFree {
  void operator()(gpointer text) const { g_free(text); }
};
using OwnedText = std::unique_ptr<char, GFree>;

using OwnedVariant = std::unique_ptr<GVariant, GlibFree<GVariant, g_variant_unref>>;
using OwnedError = std::unique_ptr<GError, GlibFree<GError, g_error_free>>;
using OwnedMainContext =
    std::unique_ptr<GMainContext, GlibFree<GMainContext, g_main_context_unref>>;
using OwnedMainLoop = std::unique_ptr<GMainLoop, GlibFree<GMainLoop, g_main_loop_unref>>;

}  // namespace darvo::capture::portal
