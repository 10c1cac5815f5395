// RAII owners for resources that live on the X server (damage objects, redirects, SHM
// attachments): an id plus the connection it belongs to, released by a request on that connection.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include <xcb/xcb.h>

namespace darvo::capture::x11 {

// A server-side id with its connection; nullable so that std::unique_ptr can own it.
struct ServerResource {
  xcb_connection_t* connection = nullptr;
  uint32_t id = 0;

  ServerResource() = default;
  ServerResource(std::nullptr_t) {}  // NOLINT(google-explicit-constructor): unique_ptr needs it
  ServerResource(xcb_connection_t* owner, uint32_t resource) : connection(owner), id(resource) {}

  explicit operator bool() const { return connection != nullptr; }
  friend bool operator==(const ServerResource&, const ServerResource&) = default;
  friend bool operator==(const ServerResource& resource, std::nullptr_t) { return !resource; }
};

template <void (*Release)(xcb_connection_t*, uint32_t)>
struct ServerResourceDeleter {
  using pointer = ServerResource;
  // Unchecked: on a broken connection or for a window that is already gone this is harmless.
  void operator()(ServerResource resource) const { Release(resource.connection, resource.id); }
};

template <void (*Release)(xcb_connection_t*, uint32_t)>
using ServerResourceOwner = std::unique_ptr<ServerResource, ServerResourceDeleter<Release>>;

}  // namespace darvo::capture::x11
