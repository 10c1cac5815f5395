#include "capture/portal/screen_cast_portal.hpp"

#include <libportal/portal.h>

#include <algorithm>
#include <memory>
#include <string_view>
#include <thread>
#include <utility>

namespace darvo::capture::portal {
namespace {

// The state of the conversation, on the portal's thread only.
struct Conversation {
  std::optional<std::string> restoreToken;
  std::function<void(PortalChoice)> chosen;
  std::function<void()> closed;
  GDBusConnection* bus = nullptr;
  XdpPortal* portal = nullptr;
  XdpSession* session = nullptr;
  std::string sessionPaths;  // the prefix of the portal's session objects of this connection

  void answer(PortalChoice choice) {
    if (chosen) std::exchange(chosen, nullptr)(std::move(choice));
  }
};

Conversation& conversationOf(gpointer data) {
  return *static_cast<Conversation*>(data);
}

// The node of the first stream of a(ua{sv}); nothing without one.
std::optional<uint32_t> firstNode(GVariant* streams) {
  if (streams == nullptr || !g_variant_is_of_type(streams, G_VARIANT_TYPE("a(ua{sv})")) ||
      g_variant_n_children(streams) == 0) {
    return std::nullopt;
  }
  GVariant* first = g_variant_get_child_value(streams, 0);
  uint32_t node = 0;
  g_variant_get_child(first, 0, "u", &node);
  g_variant_unref(first);
  return node;
}

PortalFailure failureOf(GError* error) {
  const bool cancelled = g_error_matches(error, G_IO_ERROR, G_IO_ERROR_CANCELLED);
  g_error_free(error);
  return cancelled ? PortalFailure::cancelled : PortalFailure::unavailable;
}

// libportal of this age subscribes to the session's Closed without a match rule, so the bus
// never sends it: we subscribe ourselves, to the sessions of this connection (there is one).
void onSessionClosed(GDBusConnection* /*bus*/, const char* /*sender*/, const char* path,
                     const char* /*interface*/, const char* /*signal*/, GVariant* /*parameters*/,
                     gpointer data) {
  auto& conversation = conversationOf(data);
  if (std::string_view(path).starts_with(conversation.sessionPaths) && conversation.closed) {
    conversation.closed();
  }
}

// The portal's object paths of this connection's sessions: its unique name without the colon,
// dots made underscores.
std::string sessionPathsOf(GDBusConnection* bus) {
  std::string sender = g_dbus_connection_get_unique_name(bus);
  std::erase(sender, ':');
  std::replace(sender.begin(), sender.end(), '.', '_');
  return "/org/freedesktop/portal/desktop/session/" + sender + "/";
}

void onStarted(GObject* session, GAsyncResult* result, gpointer data) {
  auto& conversation = conversationOf(data);
  GError* error = nullptr;
  if (xdp_session_start_finish(XDP_SESSION(session), result, &error) == FALSE) {
    conversation.answer(failureOf(error));
    return;
  }
  const auto node = firstNode(xdp_session_get_streams(conversation.session));
  // A D-Bus call that waits, on this thread: the portal answers it without asking the user.
  const int pipewire = node ? xdp_session_open_pipewire_remote(conversation.session) : -1;
  if (pipewire < 0) {
    conversation.answer(PortalFailure::unavailable);
    return;
  }
  ChosenWindow window{*node, pipewire, {}};
  if (char* token = xdp_session_get_restore_token(conversation.session)) {
    window.restoreToken = token;
    g_free(token);
  }
  conversation.answer(std::move(window));
}

void onCreated(GObject* portal, GAsyncResult* result, gpointer data);

void createSession(Conversation& conversation) {
  const char* token = conversation.restoreToken ? conversation.restoreToken->c_str() : nullptr;
  xdp_portal_create_screencast_session(
      conversation.portal, XDP_OUTPUT_WINDOW, XDP_SCREENCAST_FLAG_NONE, XDP_CURSOR_MODE_EMBEDDED,
      XDP_PERSIST_MODE_PERSISTENT, token, nullptr, onCreated, &conversation);
}

void onCreated(GObject* portal, GAsyncResult* result, gpointer data) {
  auto& conversation = conversationOf(data);
  GError* error = nullptr;
  conversation.session =
      xdp_portal_create_screencast_session_finish(XDP_PORTAL(portal), result, &error);
  if (conversation.session != nullptr) {
    xdp_session_start(conversation.session, nullptr, nullptr, onStarted, &conversation);
    return;
  }
  const PortalFailure failure = failureOf(error);
  if (failure == PortalFailure::unavailable && conversation.restoreToken) {
    // A token the portal refuses (one of another desktop, or not of its form) must bring the
    // chooser back, not an error: once more without it.
    conversation.restoreToken.reset();
    createSession(conversation);
    return;
  }
  conversation.answer(failure);
}

void converse(Conversation& conversation) {
  GMainContext* context = g_main_context_new();
  g_main_context_push_thread_default(context);
  // libportal of this age aborts without a session bus: find out first.
  GError* error = nullptr;
  conversation.bus = g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, &error);
  if (conversation.bus == nullptr) {
    g_error_free(error);
    conversation.answer(PortalFailure::unavailable);
    return;
  }
  conversation.sessionPaths = sessionPathsOf(conversation.bus);
  g_dbus_connection_signal_subscribe(conversation.bus, "org.freedesktop.portal.Desktop",
                                     "org.freedesktop.portal.Session", "Closed", nullptr, nullptr,
                                     G_DBUS_SIGNAL_FLAGS_NONE, onSessionClosed, &conversation,
                                     nullptr);
  conversation.portal = xdp_portal_new();
  createSession(conversation);
  GMainLoop* loop = g_main_loop_new(context, FALSE);
  g_main_loop_run(loop);  // until the process ends
}

}  // namespace

void chooseWindow(std::optional<std::string> restoreToken, std::function<void(PortalChoice)> chosen,
                  std::function<void()> closed) {
  auto conversation = std::make_unique<Conversation>();
  conversation->restoreToken = std::move(restoreToken);
  conversation->chosen = std::move(chosen);
  conversation->closed = std::move(closed);
  std::thread([conversation = std::move(conversation)] {
    try {
      converse(*conversation);
    } catch (...) {
      conversation->answer(PortalFailure::unavailable);
    }
  }).detach();
}

}  // namespace darvo::capture::portal
