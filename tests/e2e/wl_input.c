/* A keyboard and a pointer for a Wayland desktop with none, kept for as long as it runs:
 * made with the virtual-keyboard and the wlroots virtual-pointer protocols, driven by lines
 * on stdin, each answered "ok" once the compositor has taken it:
 *   key CODE          press and release an evdev key (103 is Up)
 *   move DX DY        move the pointer by DX, DY
 *   button CODE       press and release a button (0x112 is the middle one)
 * "ready" is printed once both devices exist. Ends at the end of its input. The keyboard's
 * layout is LAYOUT (an XKB layout: "de", "fr"), or the American one.
 *   WAYLAND_DISPLAY=... wl_input [LAYOUT] */
#define _GNU_SOURCE
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <time.h>
#include <unistd.h>
#include <wayland-client.h>
#include <xkbcommon/xkbcommon.h>

#include "virtual-keyboard-unstable-v1-client-protocol.h"
#include "wlr-virtual-pointer-unstable-v1-client-protocol.h"

static struct wl_seat* seat;
static struct zwp_virtual_keyboard_manager_v1* keyboards;
static struct zwlr_virtual_pointer_manager_v1* pointers;

static void global(void* data, struct wl_registry* r, uint32_t name, const char* iface, uint32_t version) {
  (void)data;
  (void)version;
  if (strcmp(iface, wl_seat_interface.name) == 0 && !seat) {
    seat = wl_registry_bind(r, name, &wl_seat_interface, 1);
  } else if (strcmp(iface, zwp_virtual_keyboard_manager_v1_interface.name) == 0) {
    keyboards = wl_registry_bind(r, name, &zwp_virtual_keyboard_manager_v1_interface, 1);
  } else if (strcmp(iface, zwlr_virtual_pointer_manager_v1_interface.name) == 0) {
    pointers = wl_registry_bind(r, name, &zwlr_virtual_pointer_manager_v1_interface, 1);
  }
}

static void global_remove(void* data, struct wl_registry* r, uint32_t name) {
  (void)data;
  (void)r;
  (void)name;
}

static const struct wl_registry_listener registry_listener = {global, global_remove};

static uint32_t now_ms(void) {
  struct timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return (uint32_t)(t.tv_sec * 1000 + t.tv_nsec / 1000000);
}

/* The keymap of a keyboard with that layout, in a file the compositor can map. */
static int keymap_fd(const char* layout, uint32_t* size) {
  struct xkb_context* ctx = xkb_context_new(XKB_CONTEXT_NO_FLAGS);
  struct xkb_rule_names names = {"evdev", "pc105", layout, "", ""};
  struct xkb_keymap* map = ctx ? xkb_keymap_new_from_names(ctx, &names, XKB_KEYMAP_COMPILE_NO_FLAGS) : NULL;
  char* text = map ? xkb_keymap_get_as_string(map, XKB_KEYMAP_FORMAT_TEXT_V1) : NULL;
  int fd = -1;
  if (text) {
    *size = (uint32_t)strlen(text) + 1;
    fd = memfd_create("keymap", MFD_CLOEXEC);
    if (fd >= 0 && write(fd, text, *size) != (ssize_t)*size) {
      close(fd);
      fd = -1;
    }
  }
  free(text);
  if (map) xkb_keymap_unref(map);
  if (ctx) xkb_context_unref(ctx);
  return fd;
}

int main(int argc, char** argv) {
  struct wl_display* display = wl_display_connect(NULL);
  if (!display) {
    fprintf(stderr, "wl_input: no Wayland display\n");
    return 1;
  }
  struct wl_registry* registry = wl_display_get_registry(display);
  wl_registry_add_listener(registry, &registry_listener, NULL);
  wl_display_roundtrip(display);
  if (!seat || !keyboards || !pointers) {
    fprintf(stderr, "wl_input: the compositor offers no seat, virtual keyboard or virtual pointer\n");
    return 1;
  }
  uint32_t size = 0;
  int fd = keymap_fd(argc > 1 ? argv[1] : "us", &size);
  if (fd < 0) {
    fprintf(stderr, "wl_input: no keymap\n");
    return 1;
  }
  struct zwp_virtual_keyboard_v1* keyboard = zwp_virtual_keyboard_manager_v1_create_virtual_keyboard(keyboards, seat);
  zwp_virtual_keyboard_v1_keymap(keyboard, WL_KEYBOARD_KEYMAP_FORMAT_XKB_V1, fd, size);
  close(fd);
  struct zwlr_virtual_pointer_v1* pointer = zwlr_virtual_pointer_manager_v1_create_virtual_pointer(pointers, seat);
  if (wl_display_roundtrip(display) < 0) return 1;
  printf("ready\n");
  fflush(stdout);

  char line[128];
  while (fgets(line, sizeof(line), stdin)) {
    unsigned code = 0;
    int dx = 0, dy = 0;
    if (sscanf(line, "key %u", &code) == 1) {
      zwp_virtual_keyboard_v1_key(keyboard, now_ms(), code, WL_KEYBOARD_KEY_STATE_PRESSED);
      wl_display_roundtrip(display);
      usleep(60000);
      zwp_virtual_keyboard_v1_key(keyboard, now_ms(), code, WL_KEYBOARD_KEY_STATE_RELEASED);
    } else if (sscanf(line, "move %d %d", &dx, &dy) == 2) {
      zwlr_virtual_pointer_v1_motion(pointer, now_ms(), wl_fixed_from_int(dx), wl_fixed_from_int(dy));
      zwlr_virtual_pointer_v1_frame(pointer);
    } else if (sscanf(line, "button %i", &code) == 1) {
      zwlr_virtual_pointer_v1_button(pointer, now_ms(), code, WL_POINTER_BUTTON_STATE_PRESSED);
      zwlr_virtual_pointer_v1_frame(pointer);
      wl_display_roundtrip(display);
      usleep(60000);
      zwlr_virtual_pointer_v1_button(pointer, now_ms(), code, WL_POINTER_BUTTON_STATE_RELEASED);
      zwlr_virtual_pointer_v1_frame(pointer);
    } else {
      fprintf(stderr, "wl_input: not a command: %s", line);
      return 2;
    }
    if (wl_display_roundtrip(display) < 0) return 1;
    printf("ok\n");
    fflush(stdout);
  }
  zwlr_virtual_pointer_v1_destroy(pointer);
  zwp_virtual_keyboard_v1_destroy(keyboard);
  wl_display_roundtrip(display);
  wl_display_disconnect(display);
  return 0;
}
