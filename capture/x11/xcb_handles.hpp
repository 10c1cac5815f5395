// RAII owners for xcb's heap-allocated replies and errors and for connections.
#pragma once

#include <cstdlib>
#include <memory>

#include <xcb/xcb.h>

namespace darvo::capture::x11 {

struct FreeDeleter {
  void operator()(void* pointer) const { std::free(pointer); }
};

template <typename T>
using XcbReply = std::unique_ptr<T, FreeDeleter>;
using XcbError = XcbReply<xcb_generic_error_t>;
using XcbEvent = XcbReply<xcb_generic_event_t>;

struct ConnectionDeleter {
  void operator()(xcb_connection_t* connection) const { xcb_disconnect(connection); }
};
using XcbConnection = std::unique_ptr<xcb_connection_t, ConnectionDeleter>;

// Waits for the reply of `cookie`, dropping any error; an empty pointer when the request failed.
template <typename Reply, typename Cookie>
XcbReply<Reply> takeReply(Reply* (*replyFunction)(xcb_connection_t*, Cookie, xcb_generic_error_t**),
                          xcb_connection_t* connection, Cookie cookie) {
  xcb_generic_error_t* error = nullptr;
  XcbReply<Reply> reply(replyFunction(connection, cookie, &error));
  const XcbError ownedError(error);
  return reply;
}

// Waits for a checked void request; the error, if any.
inline XcbError takeError(xcb_connection_t* connection, xcb_void_cookie_t cookie) {
  return XcbError(xcb_request_check(connection, cookie));
}

}  // namespace darvo::capture::x11
