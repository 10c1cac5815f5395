/* A Wayland client of KWin for the KDE test desktop's screen-cast backend: it lists KWin's windows
 * and streams one of them through KWin's own screen-cast protocol (zkde_screencast_unstable_v1).
 *
 *   darvo-test-kwin-cast windows
 *       one line a mapped window, front last: "window <uuid> <state> <pid> <title>", where state
 *       is KWin's state flags (1 active, 2 minimised); then "done"
 *   darvo-test-kwin-cast stream <uuid> <pointer-mode>
 *       asks KWin for the window's stream (pointer mode 1 hidden, 2 embedded, 4 metadata); prints
 *       "node <id>" once its PipeWire node exists, "closed" when KWin ends it (the window closed),
 *       "failed <why>" when KWin refuses. The stream lasts until standard input ends.
 *
 * KWin offers both protocols only to programs a desktop file allows, unless it runs with
 * KWIN_WAYLAND_NO_PERMISSION_CHECKS=1, as the test desktop does. Exit status 0, or 1 with a line
 * on standard error when KWin cannot be reached or lacks a protocol. */
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <wayland-client.h>

#include "plasma-window-management-client.h"
#include "zkde-screencast-unstable-v1-client.h"

enum { kMostWindows = 256, kLongestText = 512 };

struct window {
  struct org_kde_plasma_window* handle;
  char uuid[kLongestText];
  char title[kLongestText];
  uint32_t state;
  uint32_t pid;
  int mapped;
};

struct client {
  struct wl_display* display;
  struct org_kde_plasma_window_management* windows;
  struct zkde_screencast_unstable_v1* screencast;
  struct window known[kMostWindows];
  int count;
  int ended; /* the stream closed or failed */
};

static void fail(const char* why) {
  fprintf(stderr, "darvo-test-kwin-cast: %s\n", why);
  exit(1);
}

static void copy_text(char* into, const char* text) {
  snprintf(into, kLongestText, "%s", text != NULL ? text : "");
}

/* ---- A window's events: only what the listing prints is kept. */

static void on_title(void* data, struct org_kde_plasma_window* handle, const char* title) {
  (void)handle;
  copy_text(((struct window*)data)->title, title);
}
static void on_state(void* data, struct org_kde_plasma_window* handle, uint32_t flags) {
  (void)handle;
  ((struct window*)data)->state = flags;
}
static void on_unmapped(void* data, struct org_kde_plasma_window* handle) {
  (void)handle;
  ((struct window*)data)->mapped = 0;
}
static void on_pid(void* data, struct org_kde_plasma_window* handle, uint32_t pid) {
  (void)handle;
  ((struct window*)data)->pid = pid;
}
static void on_app_id(void* data, struct org_kde_plasma_window* handle, const char* id) {
  (void)data, (void)handle, (void)id;
}
static void on_desktop(void* data, struct org_kde_plasma_window* handle, int32_t number) {
  (void)data, (void)handle, (void)number;
}
static void on_icon_name(void* data, struct org_kde_plasma_window* handle, const char* name) {
  (void)data, (void)handle, (void)name;
}
static void on_initial_state(void* data, struct org_kde_plasma_window* handle) {
  (void)data, (void)handle;
}
static void on_parent(void* data, struct org_kde_plasma_window* handle,
                      struct org_kde_plasma_window* parent) {
  (void)data, (void)handle, (void)parent;
}
static void on_geometry(void* data, struct org_kde_plasma_window* handle, int32_t x, int32_t y,
                        uint32_t width, uint32_t height) {
  (void)data, (void)handle, (void)x, (void)y, (void)width, (void)height;
}
static void on_icon(void* data, struct org_kde_plasma_window* handle) {
  (void)data, (void)handle;
}
static void on_desktop_text(void* data, struct org_kde_plasma_window* handle, const char* id) {
  (void)data, (void)handle, (void)id;
}
static void on_menu(void* data, struct org_kde_plasma_window* handle, const char* service,
                    const char* path) {
  (void)data, (void)handle, (void)service, (void)path;
}

static const struct org_kde_plasma_window_listener kWindowEvents = {
    .title_changed = on_title,
    .app_id_changed = on_app_id,
    .state_changed = on_state,
    .virtual_desktop_changed = on_desktop,
    .themed_icon_name_changed = on_icon_name,
    .unmapped = on_unmapped,
    .initial_state = on_initial_state,
    .parent_window = on_parent,
    .geometry = on_geometry,
    .icon_changed = on_icon,
    .pid_changed = on_pid,
    .virtual_desktop_entered = on_desktop_text,
    .virtual_desktop_left = on_desktop_text,
    .application_menu = on_menu,
    .activity_entered = on_desktop_text,
    .activity_left = on_desktop_text,
    .resource_name_changed = on_desktop_text,
};

/* ---- The window manager's events */

static void on_show_desktop(void* data, struct org_kde_plasma_window_management* handle,
                            uint32_t state) {
  (void)data, (void)handle, (void)state;
}
static void on_window_id(void* data, struct org_kde_plasma_window_management* handle, uint32_t id) {
  (void)data, (void)handle, (void)id;
}
static void on_stacking(void* data, struct org_kde_plasma_window_management* handle,
                        struct wl_array* ids) {
  (void)data, (void)handle, (void)ids;
}
static void on_stacking_uuids(void* data, struct org_kde_plasma_window_management* handle,
                              const char* uuids) {
  (void)data, (void)handle, (void)uuids;
}
static void on_window(void* data, struct org_kde_plasma_window_management* handle, uint32_t id,
                      const char* uuid) {
  (void)id;
  struct client* client = data;
  if (client->count == kMostWindows) return;
  struct window* window = &client->known[client->count++];
  copy_text(window->uuid, uuid);
  window->mapped = 1;
  window->handle = org_kde_plasma_window_management_get_window_by_uuid(handle, uuid);
  org_kde_plasma_window_add_listener(window->handle, &kWindowEvents, window);
}

static const struct org_kde_plasma_window_management_listener kManagerEvents = {
    .show_desktop_changed = on_show_desktop,
    .window = on_window_id,
    .stacking_order_changed = on_stacking,
    .stacking_order_uuid_changed = on_stacking_uuids,
    .window_with_uuid = on_window,
};

static void on_global(void* data, struct wl_registry* registry, uint32_t name,
                      const char* interface, uint32_t version) {
  struct client* client = data;
  if (strcmp(interface, org_kde_plasma_window_management_interface.name) == 0 && version >= 13) {
    client->windows =
        wl_registry_bind(registry, name, &org_kde_plasma_window_management_interface, 13);
  } else if (strcmp(interface, zkde_screencast_unstable_v1_interface.name) == 0) {
    client->screencast =
        wl_registry_bind(registry, name, &zkde_screencast_unstable_v1_interface, 1);
  }
}
static void on_global_remove(void* data, struct wl_registry* registry, uint32_t name) {
  (void)data, (void)registry, (void)name;
}
static const struct wl_registry_listener kRegistryEvents = {on_global, on_global_remove};

/* ---- The stream's events */

static void on_closed(void* data, struct zkde_screencast_stream_unstable_v1* stream) {
  (void)stream;
  printf("closed\n");
  fflush(stdout);
  ((struct client*)data)->ended = 1;
}
static void on_created(void* data, struct zkde_screencast_stream_unstable_v1* stream,
                       uint32_t node) {
  (void)data, (void)stream;
  printf("node %u\n", node);
  fflush(stdout);
}
static void on_failed(void* data, struct zkde_screencast_stream_unstable_v1* stream,
                      const char* error) {
  (void)stream;
  printf("failed %s\n", error);
  fflush(stdout);
  ((struct client*)data)->ended = 1;
}
static const struct zkde_screencast_stream_unstable_v1_listener kStreamEvents = {
    on_closed, on_created, on_failed};

static void round_trip(struct client* client) {
  if (wl_display_roundtrip(client->display) < 0) fail("KWin went away");
}

static int list_windows(struct client* client) {
  if (client->windows == NULL) fail("KWin offers no window management");
  org_kde_plasma_window_management_add_listener(client->windows, &kManagerEvents, client);
  round_trip(client); /* the windows */
  round_trip(client); /* their states */
  for (int i = 0; i < client->count; ++i) {
    const struct window* window = &client->known[i];
    if (window->mapped) {
      printf("window %s %u %u %s\n", window->uuid, window->state, window->pid, window->title);
    }
  }
  printf("done\n");
  return 0;
}

/* Streams until standard input ends or KWin ends the stream. */
static int stream_window(struct client* client, const char* uuid, uint32_t pointer) {
  if (client->screencast == NULL) fail("KWin offers no screen casts");
  struct zkde_screencast_stream_unstable_v1* stream =
      zkde_screencast_unstable_v1_stream_window(client->screencast, uuid, pointer);
  zkde_screencast_stream_unstable_v1_add_listener(stream, &kStreamEvents, client);
  wl_display_flush(client->display);
  struct pollfd watched[2] = {{wl_display_get_fd(client->display), POLLIN, 0},
                              {STDIN_FILENO, POLLIN, 0}};
  while (!client->ended) {
    while (wl_display_prepare_read(client->display) != 0)
      wl_display_dispatch_pending(client->display);
    wl_display_flush(client->display);
    if (poll(watched, 2, -1) < 0) {
      wl_display_cancel_read(client->display);
      continue;
    }
    if (watched[0].revents & POLLIN) {
      if (wl_display_read_events(client->display) < 0) fail("KWin went away");
    } else {
      wl_display_cancel_read(client->display);
    }
    if (wl_display_dispatch_pending(client->display) < 0) fail("KWin went away");
    if (watched[1].revents != 0) {
      char ignored[256];
      if (read(STDIN_FILENO, ignored, sizeof ignored) <= 0) break;
    }
  }
  if (!client->ended) zkde_screencast_stream_unstable_v1_close(stream);
  wl_display_roundtrip(client->display);
  return 0;
}

int main(int argc, char** argv) {
  struct client client = {0};
  client.display = wl_display_connect(NULL);
  if (client.display == NULL) fail("no Wayland display");
  struct wl_registry* registry = wl_display_get_registry(client.display);
  wl_registry_add_listener(registry, &kRegistryEvents, &client);
  round_trip(&client);
  if (argc == 2 && strcmp(argv[1], "windows") == 0) return list_windows(&client);
  if (argc == 4 && strcmp(argv[1], "stream") == 0) {
    return stream_window(&client, argv[2], (uint32_t)strtoul(argv[3], NULL, 10));
  }
  fprintf(stderr, "usage: darvo-test-kwin-cast windows | stream <uuid> <pointer-mode>\n");
  return 2;
}
