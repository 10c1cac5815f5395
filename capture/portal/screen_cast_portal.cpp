#include "capture/portal/screen_cast_portal.hpp"

#include <libportal/portal.h>

#include <algorithm>
#include <string_view>
#include <thread>
#include <utility>

#include "capture/portal/glib_handles.hpp"

namespace darvo::capture::portal {
namespace {

constexpr const char* kPortalName = "org.freedesktop.portal.Desktop";
constexpr const char* kPortalPath = "/org/freedesktop/portal/desktop";
constexpr const char* kScreenCast = "org.freedesktop.portal.ScreenCast";
constexpr uint32_t kWindowSource = XDP_OUTPUT_WINDOW;  // a source type of the ScreenCast portal

// The state of the conversation, on the portal's thread only, but for `context`.
struct Conversation : WindowRequest {
  std::optional<std::string> restoreToken;
  std::function<void(PortalChoice)> chosen;
  std::function<void()> closed;
  OwnedMainContext context{g_main_context_new()};
  OwnedObject<GDBusConnection> bus;
  OwnedObject<XdpPortal> portal;
  OwnedObject<XdpSession> session;
  OwnedObject<GCancellable> cancellable{g_cancellable_new()};
  std::string sessionPaths;  // the prefix of the portal's session objects of this connection
  std::weak_ptr<Conversation> self;

  void answer(PortalChoice choice) {
    if (chosen) std::exchange(chosen, nullptr)(std::move(choice));
  }
  void withdraw() override;
  void withdrawNow();
};

Conversation& conversationOf(gpointer data) {
  return *static_cast<Conversation*>(data);
}

// The first stream of a(ua{sv}): its node and its source type (0 when not told).
struct FirstStream {
  uint32_t node = 0;
  uint32_t sourceType = 0;
};

std::optional<FirstStream> firstStream(GVariant* streams) {
  if (streams == nullptr || !g_variant_is_of_type(streams, G_VARIANT_TYPE("a(ua{sv})")) ||
      g_variant_n_children(streams) == 0) {
    return std::nullopt;
  }
  const OwnedVariant first(g_variant_get_child_value(streams, 0));
  FirstStream stream;
  g_variant_get_child(first.get(), 0, "u", &stream.node);
  const OwnedVariant properties(g_variant_get_child_value(first.get(), 1));
  g_variant_lookup(properties.get(), "source_type", "u", &stream.sourceType);
  return stream;
}

PortalFailure failureOf(GError* error) {
  const OwnedError owned(error);
  return g_error_matches(error, G_IO_ERROR, G_IO_ERROR_CANCELLED) ? PortalFailure::cancelled
                                                                  : PortalFailure::unavailable;
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
  const auto stream = firstStream(xdp_session_get_streams(conversation.session.get()));
  // A portal that casts a monitor when asked for a window says so: a window recorder must not
  // record a screen.
  if (stream && stream->sourceType != 0 && stream->sourceType != kWindowSource) {
    xdp_session_close(conversation.session.get());
    conversation.answer(PortalFailure::unavailable);
    return;
  }
  // A D-Bus call that waits, on this thread: the portal answers it without asking the user.
  const int pipewire = stream ? xdp_session_open_pipewire_remote(conversation.session.get()) : -1;
  if (pipewire < 0) {
    conversation.answer(PortalFailure::unavailable);
    return;
  }
  ChosenWindow window{stream->node, pipewire, {}};
  if (const OwnedText token{xdp_session_get_restore_token(conversation.session.get())}) {
    window.restoreToken = token.get();
  }
  conversation.answer(std::move(window));
}

void onCreated(GObject* portal, GAsyncResult* result, gpointer data);

void createSession(Conversation& conversation) {
  const char* token = conversation.restoreToken ? conversation.restoreToken->c_str() : nullptr;
  xdp_portal_create_screencast_session(conversation.portal.get(), XDP_OUTPUT_WINDOW,
                                       XDP_SCREENCAST_FLAG_NONE, XDP_CURSOR_MODE_EMBEDDED,
                                       XDP_PERSIST_MODE_PERSISTENT, token,
                                       conversation.cancellable.get(), onCreated, &conversation);
}

void onCreated(GObject* portal, GAsyncResult* result, gpointer data) {
  auto& conversation = conversationOf(data);
  GError* error = nullptr;
  conversation.session.reset(
      xdp_portal_create_screencast_session_finish(XDP_PORTAL(portal), result, &error));
  if (conversation.session) {
    xdp_session_start(conversation.session.get(), nullptr, conversation.cancellable.get(),
                      onStarted, &conversation);
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

// Only a portal that casts windows is asked: a desktop that casts monitors only (wlroots' portal
// of this age) would otherwise cast a whole screen.
void onSourceTypes(GObject* bus, GAsyncResult* result, gpointer data) {
  auto& conversation = conversationOf(data);
  const OwnedVariant reply(g_dbus_connection_call_finish(G_DBUS_CONNECTION(bus), result, nullptr));
  uint32_t types = 0;
  if (reply) {
    const OwnedVariant value(g_variant_get_child_value(reply.get(), 0));
    const OwnedVariant inner(g_variant_get_variant(value.get()));
    if (g_variant_is_of_type(inner.get(), G_VARIANT_TYPE_UINT32)) {
      types = g_variant_get_uint32(inner.get());
    }
  }
  if ((types & kWindowSource) == 0) {
    conversation.answer(PortalFailure::unavailable);
    return;
  }
  createSession(conversation);
}

void converse(Conversation& conversation) {
  g_main_context_push_thread_default(conversation.context.get());
  // libportal of this age aborts without a session bus: find out first.
  GError* error = nullptr;
  conversation.bus.reset(g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, &error));
  if (!conversation.bus) {
    const OwnedError owned(error);
    conversation.answer(PortalFailure::unavailable);
    return;
  }
  GDBusConnection* bus = conversation.bus.get();
  conversation.sessionPaths = sessionPathsOf(bus);
  g_dbus_connection_signal_subscribe(bus, kPortalName, "org.freedesktop.portal.Session", "Closed",
                                     nullptr, nullptr, G_DBUS_SIGNAL_FLAGS_NONE, onSessionClosed,
                                     &conversation, nullptr);
  conversation.portal.reset(xdp_portal_new());
  g_dbus_connection_call(bus, kPortalName, kPortalPath, "org.freedesktop.DBus.Properties", "Get",
                         g_variant_new("(ss)", kScreenCast, "AvailableSourceTypes"),
                         G_VARIANT_TYPE("(v)"), G_DBUS_CALL_FLAGS_NONE, -1,
                         conversation.cancellable.get(), onSourceTypes, &conversation);
  const OwnedMainLoop loop(g_main_loop_new(conversation.context.get(), FALSE));
  g_main_loop_run(loop.get());  // until the process ends
}

void Conversation::withdraw() {
  // Runs on the portal's thread, as soon as its loop is free; never where the loop has ended.
  auto* kept = new std::shared_ptr<Conversation>(self.lock());
  g_main_context_invoke_full(
      context.get(), G_PRIORITY_HIGH,
      [](gpointer data) {
        (*static_cast<std::shared_ptr<Conversation>*>(data))->withdrawNow();
        return G_SOURCE_REMOVE;
      },
      kept, [](gpointer data) { delete static_cast<std::shared_ptr<Conversation>*>(data); });
}

void Conversation::withdrawNow() {
  if (!chosen) return;  // answered already
  // libportal closes the open request (the dialog) when its call is cancelled.
  g_cancellable_cancel(cancellable.get());
  if (session) xdp_session_close(session.get());
  // Written out before anyone is told: the process may end at once.
  if (bus) g_dbus_connection_flush_sync(bus.get(), nullptr, nullptr);
  answer(PortalFailure::cancelled);
}

}  // namespace

std::shared_ptr<WindowRequest> chooseWindow(std::optional<std::string> restoreToken,
                                            std::function<void(PortalChoice)> chosen,
                                            std::function<void()> closed) {
  auto conversation = std::make_shared<Conversation>();
  conversation->self = conversation;
  conversation->restoreToken = std::move(restoreToken);
  conversation->chosen = std::move(chosen);
  conversation->closed = std::move(closed);
  std::thread([conversation] {
    try {
      converse(*conversation);
    } catch (...) {
      conversation->answer(PortalFailure::unavailable);
    }
  }).detach();
  return conversation;
}

}  // namespace darvo::capture::portal
